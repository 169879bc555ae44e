#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time, starting from
# the committed seed corpora (tests/fuzz/corpus/<target>). New inputs go to a
# scratch folder, so the committed seeds stay as they are.
# Usage: fuzz.sh [seconds per target, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++-14 \
  -DIVRA_FUZZ=ON -DIVRA_SANITIZE=ON -DIVRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc 2>/dev/null || echo 2)"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ivra-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
total=0 status=0
for target in version manifests state entryname launchpath extract signature fileindex; do
  mkdir -p "$scratch/$target"
  log="$scratch/$target.log"
  if (cd "$scratch" && "$OLDPWD/$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" \
        -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        "$scratch/$target" "$OLDPWD/tests/fuzz/corpus/$target") >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "fuzz_$target: ${runs:-0} inputs in ${seconds} s, no findings"
    total=$((total + ${runs:-0}))
  else
    echo "fuzz_$target: FINDING"; tail -n 40 "$log"
    cp "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$build/" 2>/dev/null || true
    status=1
  fi
done
echo "fuzzing: $total inputs in all"
exit $status
