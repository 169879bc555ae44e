#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: once in a
# plain build and once under AddressSanitizer and UndefinedBehaviorSanitizer,
# then runs the fuzz targets briefly, then the Windows build under Wine when a
# Windows SDK is at hand.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600)
}

run_suite build-tests
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-sanitize -DIVRA_SANITIZE=ON
# Every libFuzzer target for a few seconds from its seed corpus (clang, same sanitizers).
bash scripts/fuzz.sh "${IVRA_FUZZ_SECONDS:-15}"
# The Windows programs, cross-compiled and run under Wine (tests/windows/run.sh).
source scripts/windows-env.sh
if find_windows_sdk; then
  bash scripts/build-windows.sh >/dev/null
  bash tests/windows/run.sh build-tests build-windows
else
  echo "windows: skipped: $windows_skip"
fi
