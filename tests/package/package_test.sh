#!/usr/bin/env bash
# Builds the Debian package from a built tree twice, as an older version and
# as this one, and runs lintian on it. Installs the older one with an enabled
# instance and an edited conffile, upgrades it under a stand-in service
# manager that records what it is asked, checks what an administrator and a
# client programmer rely on, then removes and purges it and checks that
# nothing of it is left, the enabled instance's link included. The machine is
# left as it was found: the user and group the package creates are taken
# away again when they did not exist before.
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

wants=/etc/systemd/system/multi-user.target.wants
enabled_link=$wants/kavro@COM1.service
[ ! -e "$enabled_link" ] && [ ! -L "$enabled_link" ] || skip "this machine has kavro@COM1 enabled"
work=$(mktemp -d /tmp/kavro-package.XXXXXX)
had_wants=no; [ -d "$wants" ] && had_wants=yes
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
  rm -f "$enabled_link"
  [ "$had_wants" = yes ] || rmdir "$wants" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# build_package VERSION DIR: the package of this tree as VERSION.
build_package() {
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$2" -D CPACK_PACKAGE_VERSION="$1" \
    >"$2.log" 2>&1) || { cat "$2.log"; fail "cpack could not build the package $1"; }
  ls "$2"/kavro_"$1"_*.deb 2>/dev/null | head -n1
}

echo "== build the package as an older version and as $version"
# "~" sorts before anything: the older version of the same tree.
previous="${version}~previous"
old_deb=$(build_package "$previous" "$work/previous")
deb=$(build_package "$version" "$work/out")
[ -n "$old_deb" ] && [ -n "$deb" ] || fail "no kavro_${previous}_*.deb or kavro_${version}_*.deb"
dpkg-deb -I "$deb" | sed -n 's/^ \(Depends\|Section\|Installed-Size\|Maintainer\):/  \1:/p'
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$work/files"

if command -v lintian >/dev/null; then
  echo "== lintian"
  # Errors and warnings fail; informational tags are shown. The line about
  # running as root is lintian's own, not the package's.
  lintian_rc=0
  lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1 || lintian_rc=$?
  grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/  /' || true
  [ "$lintian_rc" = 0 ] || fail "lintian finds errors or warnings"
fi

echo "== install $previous, enable an instance, edit the configuration"
DEBIAN_FRONTEND=noninteractive dpkg -i "$old_deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "dpkg -i $old_deb"; }
# As `systemctl enable kavro@COM1` does; systemd need not be running.
systemctl enable kavro@COM1.service >/dev/null 2>&1 || true
if [ ! -L "$enabled_link" ]; then
  mkdir -p "$wants"
  ln -s "$(dpkg -L kavro | grep '/systemd/system/kavro@\.service$')" "$enabled_link"
fi
printf '; kept over upgrades\r\n' >>/etc/kavro/kavro.reg

echo "== upgrade to $version"
# A stand-in service manager in a mount namespace of the upgrade's own: the
# maintainer scripts see systemd running, and every systemctl call is recorded.
mkdir -p "$work/manager"
printf '#!/bin/sh\necho "$*" >>%s/systemctl.calls\n' "$work" >"$work/manager/systemctl"
# A container's policy-rc.d forbids every service action; this one allows them.
printf '#!/bin/sh\nexit 0\n' >"$work/manager/policy-rc.d"
chmod 0755 "$work/manager/systemctl" "$work/manager/policy-rc.d"
if unshare --mount --propagation private true 2>/dev/null; then
  unshare --mount --propagation private sh -c '
    mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/system &&
      { [ ! -e /usr/sbin/policy-rc.d ] || mount --bind "$1/policy-rc.d" /usr/sbin/policy-rc.d; } &&
      DEBIAN_FRONTEND=noninteractive PATH="$1:$PATH" dpkg -i "$2"' upgrade "$work/manager" "$deb" \
    >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; fail "dpkg -i $deb over $previous"; }
  grep -qx "try-restart kavro@\*.service" "$work/systemctl.calls" ||
    fail "the upgrade did not try-restart the running instances: $(cat "$work/systemctl.calls" 2>/dev/null)"
else
  echo "  no mount namespace here: upgraded without a service manager"
  DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$work/upgrade.log" 2>&1 ||
    { cat "$work/upgrade.log"; fail "dpkg -i $deb over $previous"; }
fi
[ "$(dpkg-query -W -f='${Version}' kavro)" = "$version" ] || fail "not upgraded to $version"
grep -q 'kept over upgrades' /etc/kavro/kavro.reg || fail "the upgrade replaced the edited kavro.reg"
[ -L "$enabled_link" ] || fail "the upgrade lost the enabled instance"

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
! grep -q 'KAVRO_REGISTRY\|--registry' "$unit" || fail "$unit names a registry file: kavro's default is the one"
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
# A deleted conffile means the defaults, as the unit runs it.
mv /etc/kavro/kavro.reg "$work/kavro.reg.saved"
runuser -u kavro -- env -u LD_LIBRARY_PATH -u KAVRO_REGISTRY /usr/sbin/kavro --run-dir "$work/run/COMY" \
  --log-dir "$work" COMY >"$work/run.log" 2>&1 </dev/null || { cat "$work/run.log"; fail "kavro without kavro.reg"; }
mv "$work/kavro.reg.saved" /etc/kavro/kavro.reg
grep -qx '<6>kavro: no registry file /etc/kavro/kavro.reg: the defaults apply' "$work/run.log" ||
  { cat "$work/run.log"; fail "kavro without kavro.reg did not run on the defaults"; }

echo "== remove and purge"
dpkg -r kavro >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r"; }
[ ! -e /usr/sbin/kavro ] || fail "kavro left after dpkg -r"
[ -e /etc/kavro/kavro.reg ] || fail "the conffile went with dpkg -r (only a purge takes it)"
[ -L "$enabled_link" ] || fail "the enabled instance's link went with dpkg -r (only a purge takes it)"
dpkg --purge kavro >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
left=$(while read -r f; do [ -e "$f" ] && ! [ -d "$f" ] && echo "$f"; done <"$work/files" || true)
[ -z "$left" ] || fail "left after purge: $left"
[ ! -e /etc/kavro ] && [ ! -e /var/log/kavro ] || fail "/etc/kavro or /var/log/kavro left after purge"
[ ! -L "$enabled_link" ] || fail "the enabled instance's link $enabled_link left after purge"
! dpkg-query -W -f='${Status}' kavro 2>/dev/null | grep -q "ok installed\|config-files" ||
  fail "dpkg still knows kavro"

trap - EXIT
cleanup
[ "$(grep -E '^(dialout|plugdev):' /etc/group || true)" = "$groups_before" ] || fail "group memberships changed"
if [ "$had_user" = no ] && getent passwd kavro >/dev/null; then fail "user kavro left"; fi
echo "== package upgrades, installs, runs and goes away cleanly"
