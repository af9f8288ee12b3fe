#!/usr/bin/env bash
# Builds the Debian package from a built tree, installs it on this machine,
# checks what an administrator and a client programmer rely on, then removes
# and purges it and checks that nothing of it is left. The machine is left as
# it was found: the user and group the package creates are taken away again
# when they did not exist before.
#
#   package_test.sh BUILD_DIR VERSION
#
# Exit 77 (skipped) without root, dpkg or cpack, or when this machine has a
# kavro of its own, which the test must not touch.
set -euo pipefail

build=$(cd "$1" && pwd)
version=$2

skip() { echo "package test skipped: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
for tool in dpkg dpkg-deb cpack adduser deluser; do
  command -v "$tool" >/dev/null || skip "no $tool"
done
if dpkg-query -W -f='${Status}' kavro 2>/dev/null | grep -qv "not-installed"; then
  skip "a kavro package is installed here"
fi
[ ! -e /etc/kavro ] && [ ! -e /usr/sbin/kavro ] || skip "this machine has a kavro installed by hand"

work=$(mktemp -d /tmp/kavro-package.XXXXXX)
had_user=no; getent passwd kavro >/dev/null && had_user=yes
had_group=no; getent group kavro >/dev/null && had_group=yes
groups_before=$(grep -E '^(dialout|plugdev):' /etc/group || true)

cleanup() {
  set +e
  if dpkg-query -W -f='${Status}' kavro 2>/dev/null | grep -qv "not-installed"; then
    dpkg --purge kavro >/dev/null 2>&1
  fi
  [ "$had_user" = yes ] || ! getent passwd kavro >/dev/null || deluser --system --quiet kavro >/dev/null 2>&1
  [ "$had_group" = yes ] || ! getent group kavro >/dev/null || delgroup --system --quiet kavro >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

echo "== build the package"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack could not build the package"; }
deb=$(ls "$work"/out/kavro_"$version"_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { cat "$work/cpack.log"; fail "no kavro_${version}_*.deb"; }
dpkg-deb -I "$deb" | sed -n 's/^ \(Depends\|Section\|Installed-Size\):/  \1:/p'
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$work/files"

echo "== install"
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i"; }

echo "== check the installed files"
[ "$(/usr/sbin/kavro --version)" = "kavro $version" ] || fail "kavro --version: $(/usr/sbin/kavro --version)"
kavroctl --help >/dev/null || fail "kavroctl --help"
kavro-decode --version >/dev/null || fail "kavro-decode --version"
/usr/libexec/kavro/kavro-pbx --version >/dev/null || fail "kavro-pbx in libexec"
[ ! -e /usr/bin/kavro-pbx ] && [ ! -e /usr/sbin/kavro-pbx ] || fail "the simulator is beside the daemon"

# A minimal image may keep man pages out of every package it installs.
if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  echo "  man pages: excluded by this machine's dpkg configuration, not checked"
elif command -v man >/dev/null; then
  for page in 8:kavro 1:kavroctl 1:kavro-pbx 1:kavro-decode 3:kavrod 5:kavro.reg; do
    man -w "${page%%:*}" "${page#*:}" >/dev/null || fail "no man page ${page#*:}(${page%%:*})"
  done
fi

if command -v pkg-config >/dev/null; then
  [ "$(pkg-config --modversion libkavrod)" = "$version" ] || fail "pkg-config libkavrod"
  cflags=$(pkg-config --cflags libkavrod) || fail "pkg-config --cflags libkavrod"
  # A client program builds against the installed headers alone.
  if command -v cc >/dev/null; then
    printf '#include <kavrod.h>\nint main(void) { return KAVROD_RECORD_MAX == 65543u ? 0 : 1; }\n' |
      cc $cflags -x c -o "$work/client" - || fail "a client does not build against the installed kavrod.h"
  fi
fi

unit=$(dpkg -L kavro | grep '/systemd/system/kavro@\.service$') || fail "no unit installed"
grep -qx 'ExecStart=/usr/sbin/kavro --run-dir /run/kavro/%i -- %I' "$unit" || fail "ExecStart of $unit"
grep -qx 'Environment=KAVRO_REGISTRY=/etc/kavro/kavro.reg' "$unit" || fail "registry path in $unit"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify $unit"; }
  if systemd-analyze security --offline=true "$unit" >"$work/security.log" 2>&1; then
    exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security.log")
    echo "  systemd-analyze security: exposure $exposure"
    # Losing the sandbox (a line dropped from the unit) shows here first.
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' || { cat "$work/security.log"; fail "exposure $exposure"; }
  fi
fi

if command -v logrotate >/dev/null; then
  logrotate -d /etc/logrotate.d/kavro >"$work/logrotate.log" 2>&1 && ! grep -q '^error' "$work/logrotate.log" ||
    { cat "$work/logrotate.log"; fail "logrotate does not take /etc/logrotate.d/kavro"; }
fi

id -nG kavro | tr ' ' '\n' | grep -qx kavro || fail "no user kavro in group kavro"
for group in dialout plugdev; do
  ! getent group "$group" >/dev/null || id -nG kavro | tr ' ' '\n' | grep -qx "$group" || fail "kavro not in $group"
done
dpkg-query -W -f='${Conffiles}\n' kavro | grep -q '/etc/kavro/kavro.reg' || fail "kavro.reg is no conffile"

# The installed daemon starts as the service's user with the shipped
# registry and finds its installed companion library; a COM link name without
# a number opens nothing, so the link ends at once (exit 0).
chmod 0711 "$work"  # the user kavro passes through to its run directory
install -d -o kavro -g kavro -m 0750 "$work/run"
if ! runuser -u kavro -- env -u LD_LIBRARY_PATH /usr/sbin/kavro --run-dir "$work/run/COMX" --log-dir "$work" COMX \
    >"$work/run.log" 2>&1 </dev/null; then
  cat "$work/run.log"; fail "the installed kavro did not run as the user kavro"
fi
! grep -q 'kavro.reg:[0-9]' "$work/run.log" || { cat "$work/run.log"; fail "the shipped registry file does not parse"; }

echo "== remove and purge"
dpkg -r kavro >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r"; }
[ ! -e /usr/sbin/kavro ] || fail "kavro left after dpkg -r"
[ -e /etc/kavro/kavro.reg ] || fail "the conffile went with dpkg -r (only a purge takes it)"
dpkg --purge kavro >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
left=$(while read -r f; do [ -e "$f" ] && ! [ -d "$f" ] && echo "$f"; done <"$work/files" || true)
[ -z "$left" ] || fail "left after purge: $left"
[ ! -e /etc/kavro ] && [ ! -e /var/log/kavro ] || fail "/etc/kavro or /var/log/kavro left after purge"
! dpkg-query -W -f='${Status}' kavro 2>/dev/null | grep -q "ok installed\|config-files" ||
  fail "dpkg still knows kavro"

trap - EXIT
cleanup
[ "$(grep -E '^(dialout|plugdev):' /etc/group || true)" = "$groups_before" ] || fail "group memberships changed"
if [ "$had_user" = no ] && getent passwd kavro >/dev/null; then fail "user kavro left"; fi
echo "== package installs, runs and goes away cleanly"
