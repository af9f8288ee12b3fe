#!/usr/bin/env bash
# Builds the packages kavro-web and kavro from a built tree and checks that
# the server, its page, unit, configuration and man page are in kavro-web,
# that the password is made at install for root and the group kavro, that
# kavro-web depends on kavro and Chart.js, that kavro holds none of it, and
# that lintian finds no error or warning. Installs nothing.
#
#   web_package_test.sh BUILD_DIR VERSION
set -euo pipefail

build=$(cd "$1" && pwd)
version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
[ -f "$build/CPackWebConfig.cmake" ] || { echo "skipped: kavro-web not built"; exit 77; }

work=$(mktemp -d /tmp/kavro-web-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
for config in CPackWebConfig.cmake CPackConfig.cmake; do
  (cd "$work" && cpack -G DEB --config "$build/$config" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack --config $config"; }
done
web=$work/out/kavro-web_${version}_$(dpkg --print-architecture).deb
kavro=$work/out/kavro_${version}_$(dpkg --print-architecture).deb
[ -f "$web" ] && [ -f "$kavro" ] || fail "packages missing: $(ls "$work/out")"

files=$(dpkg-deb -c "$web" | awk '{print $6}')
for f in ./usr/bin/kavro-web ./usr/share/kavro-web/index.html ./usr/share/kavro-web/app.js \
         ./usr/share/kavro-web/style.css ./lib/systemd/system/kavro-web@.service ./etc/kavro/kavro-web.conf \
         ./usr/share/man/man1/kavro-web.1.gz ./usr/share/doc/kavro-web/copyright ./usr/share/doc/kavro-web/kavro-web.md; do
  grep -qx "$f" <<<"$files" || fail "kavro-web lacks $f"
done
depends=$(dpkg-deb -f "$web" Depends)
for d in "kavro (= $version)" libjs-chart.js libcpp-httplib; do
  grep -q "$d" <<<"$depends" || fail "kavro-web Depends: $depends"
done
[ "$(dpkg-deb --ctrl-tarfile "$web" | tar -xO ./conffiles)" = /etc/kavro/kavro-web.conf ] || fail "conffiles"

dpkg-deb -x "$web" "$work/root"
unit=$work/root/lib/systemd/system/kavro-web@.service
grep -qx "After=kavro@%i.service network.target" "$unit" || fail "unit not ordered after kavro@"
grep -qx "ExecStart=/usr/bin/kavro-web --run-dir /run/kavro/%i %I" "$unit" || fail "unit ExecStart: $(grep ExecStart "$unit")"
grep -qx "User=kavro" "$unit" || fail "unit does not run as kavro"
"$work/root/usr/bin/kavro-web" --version | grep -qx "kavro-web $version" || fail "kavro-web --version"

# The password the postinst makes: random, root:kavro, 0640, kept when there.
dpkg-deb --ctrl-tarfile "$web" | tar -xO ./postinst >"$work/postinst"
grep -q 'chgrp kavro' "$work/postinst" && grep -q 'chmod 0640' "$work/postinst" && grep -q '! -e "$password"' "$work/postinst" ||
  fail "postinst does not make the password file as documented"

if dpkg-deb -c "$kavro" | grep -q kavro-web; then fail "the kavro package holds: $(dpkg-deb -c "$kavro" | grep kavro-web)"; fi

if command -v lintian >/dev/null; then
  lintian_rc=0
  lintian --fail-on error,warning --display-info "$web" >"$work/lintian.log" 2>&1 || lintian_rc=$?
  grep -v 'running with root privileges' "$work/lintian.log" | sed 's/^/  /' || true
  [ "$lintian_rc" = 0 ] || fail "lintian finds errors or warnings in kavro-web"
fi
echo "kavro-web package: ok"
