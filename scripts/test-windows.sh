#!/usr/bin/env bash
# Builds the Windows program with mingw-w64 (32-bit, the shipped build, and
# 64-bit) and tests it under Wine: the portable and Win32 unit tests of both
# builds, then the end-to-end tests of the real kavro.exe, KAVROD32.dll and
# kavroctl.exe against the Linux kavro-pbx, on both builds, and the 32-bit
# installer installed, upgraded and uninstalled. Also builds the 32-bit
# package. Exits non-zero on any failure.
#
# Wine runs headless in a prefix of its own under build-win32/, made anew on
# every run; its wineserver is ended at the end (only that prefix's).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh --windows

jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)
stage() { echo "== windows: $1 ($(( $(date +%s) - started )) s) =="; }

linux_build=${KAVRO_BUILD_DIR:-$root/build}
stage "kavro-pbx (Linux) for the end-to-end tests"
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$linux_build" -j"$jobs" --target kavro-pbx >/dev/null

for bits in 32 64; do
  if [ "$bits" = 32 ]; then toolchain=cmake/toolchain-mingw-i686.cmake; else toolchain=cmake/toolchain-mingw-x86_64.cmake; fi
  stage "build (win$bits)"
  cmake -S . -B "build-win$bits" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "build-win$bits" -j"$jobs" --target kavro kavrod32 kavroctl kavro_win_tests
done
stage "package and installer (win32)"
cmake --build build-win32 --target kavro_package kavro_msi

# The modem-line shim, for Wine of each bitness; the loader picks the one
# of its own class through $LIB.
shim_dir="$root/build-win32/modem-shim"
mkdir -p "$shim_dir/lib/x86_64-linux-gnu" "$shim_dir/lib/i386-linux-gnu"
gcc -shared -fPIC -O2 -Wall -o "$shim_dir/lib/x86_64-linux-gnu/kavro_modem_shim.so" tests/win32/modem_shim.c -ldl
gcc -m32 -shared -fPIC -O2 -Wall -o "$shim_dir/lib/i386-linux-gnu/kavro_modem_shim.so" tests/win32/modem_shim.c -ldl
export KAVRO_MODEM_SHIM="$shim_dir/\$LIB/kavro_modem_shim.so"

stage "Wine prefix"
export WINEPREFIX="$root/build-win32/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
rm -rf "$WINEPREFIX"
cleanup() { "$wineserver" -k 2>/dev/null || true; }
trap cleanup EXIT
"$wine64" wineboot -i >/dev/null 2>&1
"$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
"$wineserver" -w
# Kept alive between the runs: a start then takes milliseconds, not a second.
"$wineserver" -p
# The first program started brings up Wine's own services and desktop
# process, which live on with the server and keep the standard output of
# whoever started them: let that be /dev/null, not a test's pipe.
"$wine64" reg query 'HKCU\Software\Wine\Drivers' </dev/null >/dev/null 2>&1
"$wine" reg query 'HKCU\Software\Wine\Drivers' </dev/null >/dev/null 2>&1

for bits in 32 64; do
  stage "unit tests under Wine (win$bits)"
  (cd "build-win$bits" && ctest --output-on-failure --timeout 120)
done

export KAVRO_BUILD_DIR="$linux_build" PYTHONDONTWRITEBYTECODE=1 KAVRO_WIN_STRICT=1
stage "end-to-end tests under Wine (win32: all)"
KAVRO_WIN_BITS=32 KAVRO_WIN_BUILD_DIR="$root/build-win32" \
  python3 -m unittest discover -v -s tests/win32 -p 'test_*.py' -t tests/win32
stage "end-to-end tests under Wine (win64: all)"
KAVRO_WIN_BITS=64 KAVRO_WIN_BUILD_DIR="$root/build-win64" \
  python3 -m unittest discover -v -s tests/win32 -p 'test_*.py' -t tests/win32
stage "all Windows tests passed"
