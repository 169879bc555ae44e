#!/usr/bin/env bash
# The download speed limit: a fresh install of a client whose package is
# 256 MiB of incompressible bytes, by `ivra-update --limit-rate RATE` from the
# local release service. The average is the package's size over the time its
# download took, as the launcher logs it (request sent to last byte read).
# Usage: bash bench/ratelimit.sh [RUNS] [RATE]   (defaults 3 and 10M)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release ivra-update
runs=${1:-3} rate=${2:-10M}
out="$project/.run/bench-rate"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
: > "$out/samples.txt"
base=https://127.0.0.1:8443
trap 'scripts/release-service.sh stop >/dev/null 2>&1 || true' EXIT

src="$work/src"; tree="$work/tree"
mkdir -p "$src/bin"
printf '#!/bin/sh\n' > "$src/bin/client"; chmod +x "$src/bin/client"
head -c $((256 << 20)) /dev/urandom > "$src/data.bin"
"$build/ivra-release" client --tree "$tree" --base-url "$base" --product ivra-demo --channel bench \
  --version 1.0.0 --minimum 1.0.0 --exe bin/client --from-folder "$src" >/dev/null
printf 'bench installer\n' > "$work/setup.exe"
"$build/ivra-release" gateway --tree "$tree" --base-url "$base" --edition demo --channel bench \
  --version 2026.1024.1 --minimum 2026.1024.1 --installer "$work/setup.exe" >/dev/null
rm -rf "$src"
scripts/release-service.sh start "$tree" >/dev/null
bytes=$(stat -c %s "$tree/releases/clients/ivra-demo/ivra-demo_1.0.0.zip")

for i in $(seq "$runs"); do
  home="$work/home"; rm -rf "$home"; mkdir -p "$home"; sync
  XDG_DATA_HOME="$home" "$build/ivra-update" --limit-rate "$rate" >/dev/null
  ms=$(grep -ho "client zip downloaded after [0-9]* ms" "$home/IVRA Labs/IvraLauncher/logs/"*.log | grep -o "[0-9]* ms" | cut -d' ' -f1)
  # kB/s, so that the integer statistics keep three figures of MB/s
  sample R $((bytes / ms))
  echo "run $i: $bytes bytes in $ms ms"
done
read -r m lo hi < <(median_of R)
awk -v m="$m" -v lo="$lo" -v hi="$hi" -v rate="$rate" -v runs="$runs" 'BEGIN {
  printf "--limit-rate %s: %.2f MB/s [%.2f..%.2f] over the whole transfer, median of %d (9.5..10.5 for 10M: %s)\n",
    rate, m / 1000, lo / 1000, hi / 1000, runs, (m >= 9500 && m <= 10500) ? "met" : "MISSED" }' | tee "$out/results.txt"
