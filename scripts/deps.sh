#!/usr/bin/env bash
# Installs the Debian packages a purpose needs, each only when it is missing.
# Safe to run again; does nothing when everything is present.
#
#   scripts/deps.sh              what the build and scripts/demo.sh need
#   scripts/deps.sh --web        that, and what the status page kavro-web needs
#   scripts/deps.sh --tests      that, the page's, and what the test suite needs
#   scripts/deps.sh --windows    that, and the cross compilers, Wine (with the
#                                i386 architecture) and the installer tools
#
# scripts/test.sh runs it with --tests, scripts/test-windows.sh with
# --windows; scripts/demo.sh with nothing (--web with --web), so a
# demonstration brings neither Wine nor a foreign architecture onto the machine.
set -euo pipefail

usage() {
  sed -n '2,14s/^# \{0,1\}//p' "$0"
}

# The compiler, CMake and the libraries kavro is built from, and the man page
# tools the default build needs (KAVRO_MAN).
build_packages=(
  build-essential cmake pkg-config
  libcli11-dev libusb-1.0-0-dev
  scdoc groff-base gzip
)

# The status page kavro-web: its HTTP server library and Chart.js, which it
# serves to the page (scripts/demo.sh --web).
web_packages=(libcpp-httplib-dev libjs-chart.js)

test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  python3
  # The emulated USB device of the USB tests.
  umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi
  socat tshark
  # The thread sanitizer pass and the fuzz targets; the sanitizer and libFuzzer
  # runtimes are only recommended by clang, and recommendations are not
  # installed here.
  clang libclang-rt-dev
  # The Debian package and its test: cpack runs dpkg-shlibdeps and file; the
  # test checks the unit, the man pages and the logrotate file, upgrades,
  # purges an enabled instance and runs lintian.
  man-db file dpkg-dev adduser systemd logrotate init-system-helpers lintian
  # The MQTT bridge kavro-mqtt (built only when its client library is
  # there) and its tests: a broker, its tools, Debian's Prometheus exporter
  # for MQTT (the documented configuration is tried), a Python client and
  # openssl for a throw-away CA.
  libmosquitto-dev mosquitto mosquitto-clients prometheus-mqtt-exporter python3-paho-mqtt openssl
  # The status page kavro-web (built only when its HTTP library is there),
  # its charts, and its test: headless Chromium driven over the DevTools
  # protocol from Debian's Python with python3-websocket.
  "${web_packages[@]}" chromium python3-websocket
)

# The Windows build: mingw-w64 cross compilers (the -posix variants carry
# std::thread and std::mutex), GoogleTest's sources for the cross-built unit
# tests, Wine of both bitnesses to run it, the 32-bit host runtime for the
# test-only modem-line shim of 32-bit Wine, and the installer tools.
windows_packages=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
  wine64 wine32:i386 gcc-multilib
  msitools wixl
)

wanted=("${build_packages[@]}")
for arg in "$@"; do
  case "$arg" in
    --web) wanted+=("${web_packages[@]}") ;;
    --tests) wanted+=("${test_packages[@]}") ;;
    --windows) wanted+=("${windows_packages[@]}") ;;
    -h | --help) usage; exit 0 ;;
    *) echo "deps: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
# Another apt run (unattended upgrades on a fresh machine) holds the lock for
# a while: wait for it rather than fail.
apt_get=("${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600)
# wine32 is an i386 package: the architecture has to be known to apt first.
# Only the Windows packages ask for it.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${apt_get[@]}" update -q
if [[ " ${missing[*]} " == *" tshark "* ]]; then
  # Wireshark's package asks whether to let ordinary users capture; the answer
  # is no, given here so that the install needs nobody at the keyboard.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | "${sudo_cmd[@]}" debconf-set-selections
fi
DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y -q --no-install-recommends "${missing[@]}"
