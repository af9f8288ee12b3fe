#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, when it
# is missing. Safe to run again; does nothing when everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libusb-1.0-0-dev
  umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi
  socat clang
  tshark
  # The sanitizer and libFuzzer runtimes: clang only recommends them, and
  # recommendations are not installed here.
  libclang-rt-dev
  # Man pages; the Debian package (cpack runs dpkg-shlibdeps and file) and
  # its test (systemd-analyze, man, logrotate on the installed files).
  scdoc groff-base man-db gzip file
  dpkg-dev adduser systemd logrotate
  # The MQTT bridge: its client library, and for its test a broker, its
  # tools, a Python client and openssl for a throw-away CA.
  libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# The Windows build: mingw-w64 cross compilers (the -posix variants carry
# std::thread and std::mutex), Wine of both bitnesses to run it, and the
# 32-bit host runtime for the test-only modem-line shim of 32-bit Wine;
# wixl and msitools build the installer.
windows_packages=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine64 wine32:i386 gcc-multilib googletest wixl msitools
)
for p in "${windows_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  # wine32 is an i386 package: the architecture has to be known to apt first.
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update -q
  # Wireshark's package asks whether to let ordinary users capture; the answer
  # is no, given here so that the install needs nobody at the keyboard.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo_cmd debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
