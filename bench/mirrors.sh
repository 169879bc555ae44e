#!/usr/bin/env bash
# Mirrors: a fresh install of a 256 MiB client by an updater whose main host
# (8443) refuses connections, or accepts them and never answers, and which
# has a mirror on 8444; against an updater built for 8444 alone. Each run
# times the three one after the other from an empty data folder.
# Usage: bash bench/mirrors.sh [RUNS]   (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release ivra-update-bench-mirrored ivra-update-bench-direct
runs=${1:-5}
out="$project/.run/bench-mirrors"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
: > "$out/samples.txt"
silent=
trap '[ -n "$silent" ] && kill "$silent" 2>/dev/null; scripts/release-service.sh stop >/dev/null 2>&1 || true' EXIT

src="$work/src"
python3 bench/make-package.py 256 "$src" >/dev/null
printf 'bench installer\n' > "$work/setup.exe"
# The mirror serves the main host's tree (its URLs name 8443); the direct
# updater gets the same files published for 8444.
for kind in main direct; do
  base=https://127.0.0.1:8443; [ "$kind" = direct ] && base=https://127.0.0.1:8444
  # Mirrors serve signed releases only: both updaters trust the test key.
  "$build/ivra-release" client --tree "$work/tree-$kind" --base-url "$base" --product ivra-demo --channel stable \
    --version 1.0.0 --minimum 1.0.0 --exe bin/client --from-folder "$src" \
    --secret-key tests/keys/ivra-test-a.key >/dev/null
  "$build/ivra-release" gateway --tree "$work/tree-$kind" --base-url "$base" --edition demo --channel stable \
    --version 2026.1024.1 --minimum 2026.1024.1 --installer "$work/setup.exe" \
    --secret-key tests/keys/ivra-test-a.key >/dev/null
done
rm -rf "$src"
scripts/release-service.sh stop >/dev/null 2>&1 || true

install() { # sample-name updater
  local home="$work/home" start
  rm -rf "$home"; mkdir -p "$home"; sync; sleep 1
  start=$(now_ms)
  XDG_DATA_HOME="$home" "$build/$2" >/dev/null || { echo "$2 failed" >&2; exit 1; }
  sample "$1" $(( $(now_ms) - start ))
}
for i in $(seq "$runs"); do
  scripts/release-service.sh start "$work/tree-direct" --host 2 >/dev/null
  install D ivra-update-bench-direct
  scripts/release-service.sh start "$work/tree-main" --host 2 >/dev/null
  install R ivra-update-bench-mirrored
  # A host that takes connections and never answers them.
  python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 8443)); s.listen(64); time.sleep(3600)' & silent=$!
  sleep 0.5
  install X ivra-update-bench-mirrored
  kill "$silent"; wait "$silent" 2>/dev/null || true; silent=
  echo "run $i done"
done
read -r d dlo dhi < <(median_of D)
read -r r rlo rhi < <(median_of R)
read -r x xlo xhi < <(median_of X)
awk -v d="$d" -v dlo="$dlo" -v dhi="$dhi" -v r="$r" -v rlo="$rlo" -v rhi="$rhi" -v x="$x" -v xlo="$xlo" \
  -v xhi="$xhi" -v runs="$runs" -v timeout=5000 'BEGIN {
  printf "fresh install of a 256 MiB client, medians of %d runs\n", runs
  printf "  updater built for the mirror alone:         %6d ms [%d..%d]\n", d, dlo, dhi
  printf "  main host refuses, mirror serves:           %6d ms [%d..%d]  %.2f x direct (<= 1.2: %s)\n",
    r, rlo, rhi, r / d, (r / d <= 1.2) ? "met" : "MISSED"
  printf "  main host never answers, mirror serves:     %6d ms [%d..%d]  costs %d ms (time-out %d ms: %s)\n",
    x, xlo, xhi, x - d, timeout, (x - d <= timeout + 0.05 * d) ? "met" : "MISSED" }' | tee "$out/results.txt"
