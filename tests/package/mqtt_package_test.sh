#!/usr/bin/env bash
# Builds the packages kavro-mqtt and kavro from a built tree and checks that
# the bridge, its unit, page, configuration and examples are in kavro-mqtt,
# that kavro-mqtt depends on kavro and libmosquitto, and that kavro holds
# none of it and needs no MQTT library. Installs nothing.
#
#   mqtt_package_test.sh BUILD_DIR VERSION
set -euo pipefail

build=$(cd "$1" && pwd)
version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
[ -f "$build/CPackMqttConfig.cmake" ] || { echo "skipped: kavro-mqtt not built"; exit 77; }

work=$(mktemp -d /tmp/kavro-mqtt-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
for config in CPackMqttConfig.cmake CPackConfig.cmake; do
  (cd "$work" && cpack -G DEB --config "$build/$config" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack --config $config"; }
done
mqtt=$work/out/kavro-mqtt_${version}_$(dpkg --print-architecture).deb
kavro=$work/out/kavro_${version}_$(dpkg --print-architecture).deb
[ -f "$mqtt" ] && [ -f "$kavro" ] || fail "packages missing: $(ls "$work/out")"

files=$(dpkg-deb -c "$mqtt" | awk '{print $6}')
for f in ./usr/bin/kavro-mqtt ./lib/systemd/system/kavro-mqtt@.service ./etc/kavro/kavro-mqtt.conf \
         ./usr/share/man/man1/kavro-mqtt.1.gz ./usr/share/doc/kavro-mqtt/copyright \
         ./usr/share/doc/kavro-mqtt/examples/mosquitto-kavro.acl ./usr/share/doc/kavro-mqtt/examples/mosquitto-kavro.conf \
         ./usr/share/doc/kavro-mqtt/examples/prometheus-mqtt-exporter.yaml \
         ./lib/systemd/system/kavro@.service.d/kavro-mqtt-record-log.conf; do
  grep -qx "$f" <<<"$files" || fail "kavro-mqtt lacks $f"
done
depends=$(dpkg-deb -f "$mqtt" Depends)
grep -q "kavro (= $version)" <<<"$depends" || fail "kavro-mqtt Depends: $depends"
grep -q "libmosquitto1" <<<"$depends" || fail "kavro-mqtt Depends: $depends"
[ "$(dpkg-deb --ctrl-tarfile "$mqtt" | tar -xO ./conffiles)" = /etc/kavro/kavro-mqtt.conf ] || fail "conffiles"

dpkg-deb -x "$mqtt" "$work/root"
unit=$work/root/lib/systemd/system/kavro-mqtt@.service
grep -qx "After=kavro@%i.service network-online.target" "$unit" || fail "unit not ordered after kavro@"
grep -qx "ExecStart=/usr/bin/kavro-mqtt %I" "$unit" || fail "unit ExecStart: $(grep ExecStart "$unit")"
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "unit ExecReload"
grep -qx "RestartPreventExitStatus=2" "$unit" || fail "unit keeps the bridge down for a fault that heals"
dropin=$work/root/lib/systemd/system/kavro@.service.d/kavro-mqtt-record-log.conf
grep -qx "StateDirectory=kavro/%i" "$dropin" && grep -qx "Environment=KAVRO_RECORD_LOG=/var/lib/kavro/%i" "$dropin" ||
  fail "kavro@ drop-in: $(cat "$dropin")"
"$work/root/usr/bin/kavro-mqtt" --version | grep -qx "kavro-mqtt $version" || fail "kavro-mqtt --version"

if dpkg-deb -c "$kavro" | grep -q mqtt; then fail "the kavro package holds: $(dpkg-deb -c "$kavro" | grep mqtt)"; fi
if dpkg-deb -f "$kavro" Depends | grep -q mosquitto; then fail "kavro depends on an MQTT library"; fi
echo "kavro-mqtt package: ok"
