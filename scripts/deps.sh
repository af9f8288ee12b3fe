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
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -q
  # Wireshark's package asks whether to let ordinary users capture; the answer
  # is no, given here so that the install needs nobody at the keyboard.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo_cmd debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
