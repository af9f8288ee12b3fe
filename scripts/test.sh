#!/usr/bin/env bash
# Builds kavro and runs every test, then builds the suite again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs it once more.
# With clang present it then runs the suite a third time under
# ThreadSanitizer and gives every fuzz target a short run over its corpus.
# Exits non-zero on any failure or sanitizer report.
#
# KAVRO_FUZZ_SECONDS sets the length of each fuzz run (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh --tests

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${KAVRO_FUZZ_SECONDS:-5}

echo "== build (release) =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRO_TESTS=ON -DKAVRO_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
echo "== tests (release) =="
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)

echo "== build (address and undefined-behaviour sanitizers) =="
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKAVRO_SANITIZE=ON -DKAVRO_TESTS=ON -DKAVRO_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests (sanitizers) =="
(
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  cd build-asan && ctest --output-on-failure -j"$jobs" --timeout 300
)

if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
  echo "== clang not found: thread sanitizer and fuzz runs skipped =="
  echo "== all tests passed =="
  exit 0
fi

echo "== build (thread sanitizer) =="
CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKAVRO_TSAN=ON -DKAVRO_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
echo "== tests (thread sanitizer) =="
# Every process of the run (test binaries, and kavro, kavroctl and kavro-pbx
# started by the end-to-end tests) writes its reports to its own file here,
# so that none is lost with a process the test kills or whose exit status it
# does not look at. The USB tests are left out: the USB emulation intercepts
# device access with a preloaded library, which the sanitizer's own
# interceptors take the place of.
tsan_reports=$root/build-tsan/tsan-reports
rm -rf "$tsan_reports"
mkdir -p "$tsan_reports"
status=0
(
  export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp log_path=$tsan_reports/report"
  cd build-tsan && ctest --output-on-failure -j"$jobs" --timeout 300 -LE usb
) || status=$?
if [ -n "$(ls -A "$tsan_reports")" ]; then
  cat "$tsan_reports"/*
  echo "== thread sanitizer reports above ($(ls "$tsan_reports" | wc -l) processes) ==" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"

echo "== build (fuzz targets) =="
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVRO_FUZZ=ON -DKAVRO_BENCH=OFF >/dev/null
targets=()
for source in fuzz/*_fuzz.cpp; do
  [ -e "$source" ] || continue
  targets+=("$(basename "$source" .cpp)")
done
if [ ${#targets[@]} -gt 0 ]; then
  cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
  echo "== fuzz runs (${fuzz_seconds} s each) =="
  for target in "${targets[@]}"; do
    # New inputs go to a scratch directory; the corpus in the tree is only read.
    scratch=$root/build-fuzz/fuzz-scratch/$target
    rm -rf "$scratch"
    mkdir -p "$scratch"
    seeds=()
    if [ -d "fuzz/corpus/$target" ]; then seeds+=("fuzz/corpus/$target"); fi
    echo "-- $target"
    if ! build-fuzz/fuzz/"$target" -max_total_time="$fuzz_seconds" -timeout=10 -print_final_stats=1 \
         -artifact_prefix="$scratch/" "$scratch" "${seeds[@]}" >"$scratch.log" 2>&1; then
      tail -n 60 "$scratch.log"
      echo "== fuzz target $target failed; the input is in $scratch/ ==" >&2
      exit 1
    fi
    grep -E "^stat::number_of_executed_units" "$scratch.log" || true
  done
fi

echo "== all tests passed =="

# The Windows program: cross-built with mingw-w64 and tested under Wine
# (scripts/test-windows.sh). KAVRO_SKIP_WINDOWS=1 leaves it out.
if [ "${KAVRO_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "== Windows build and tests under Wine =="
  scripts/test-windows.sh
  echo "== Windows tests passed =="
fi
