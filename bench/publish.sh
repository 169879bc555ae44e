#!/usr/bin/env bash
# Publishing against the standard tools, side by side in one run: `ivra-release
# client` of a generated client (bench/make-package.py: 256 MiB, half of it
# incompressible, the rest text; and 1 GiB) with the default settings and at
# --zstd-level 19,
# against `zip -r -6` of the same folder and against that zip plus `zstd -19
# -T0` of every file. Also the objects' total size at both levels and the
# tool's peak memory. Each output is removed before each run, so every run
# writes everything.
# Usage: bash bench/publish.sh [RUNS]   (default 3); IVRA_BENCH_PUBLISH_MIB ("256 1024")
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release
runs=${1:-3}
sizes=${IVRA_BENCH_PUBLISH_MIB:-256 1024}
out="$project/.run/bench-publish"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
: > "$out/samples.txt"
sample() { echo "$1 $2" >> "$out/samples.txt"; }
median_of() {
  grep "^$1 " "$out/samples.txt" | awk '{print $2}' | sort -n |
    awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%d %d %d\n", m, a[1], a[NR]}'
}
# Runs a command; prints "<ms> <peak RSS KiB>" of it and its children.
timed() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
ms = int((time.monotonic() - start) * 1000)
print(ms, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}
publish() { # source tree [options]
  local source=$1 tree=$2; shift 2
  "$project/$build/ivra-release" client --tree "$tree" --base-url https://127.0.0.1:8443 \
    --product ivra-demo --channel bench --version 1.0.0 --exe bin/client --from-folder "$source" "$@"
}
zip_folder() { (cd "$1" && zip -q -r -6 "$2" .); }
zip_and_zstd() { # source zip objects
  zip_folder "$1" "$2"
  zstd -q -19 -T0 -r "$1" --output-dir-mirror "$3"
}
export -f publish zip_folder zip_and_zstd
export project build

for size in $sizes; do
  echo "== ${size} MiB client"
  src="$work/src-$size"
  python3 bench/make-package.py "$size" "$src" text
  for run in $(seq "$runs"); do
    sync; sleep 1
    rm -rf "$work/tree"
    read -r ms rss < <(timed bash -c 'publish "$0" "$1"' "$src" "$work/tree")
    sample "default-$size" "$ms"; sample "default-rss-$size" "$rss"
    sample "default-objects-$size" "$(du -sb "$work/tree/releases/clients/ivra-demo/objects" | cut -f1)"
    sync; sleep 1
    rm -rf "$work/tree19"
    read -r ms rss < <(timed bash -c 'publish "$0" "$1" --zstd-level 19' "$src" "$work/tree19")
    sample "l19-$size" "$ms"; sample "l19-rss-$size" "$rss"
    sample "l19-objects-$size" "$(du -sb "$work/tree19/releases/clients/ivra-demo/objects" | cut -f1)"
    sync; sleep 1
    rm -f "$work/plain.zip"
    read -r ms _ < <(timed bash -c 'zip_folder "$0" "$1"' "$src" "$work/plain.zip")
    sample "zip-$size" "$ms"
    sync; sleep 1
    rm -rf "$work/plain.zip" "$work/zst"
    read -r ms _ < <(timed bash -c 'zip_and_zstd "$0" "$1" "$2"' "$src" "$work/plain.zip" "$work/zst")
    sample "zipzstd-$size" "$ms"
    sample "zstd-objects-$size" "$(du -sb "$work/zst" | cut -f1)"
    echo "   run $run done"
  done
  rm -rf "$src" "$work/tree" "$work/tree19" "$work/zst" "$work/plain.zip"
done

{
  echo "IVRA Gateway publishing benchmark, $(date -u +%Y-%m-%dT%H:%MZ), runs: $runs (medians [min..max])"
  for size in $sizes; do
    read -r d dmin dmax < <(median_of "default-$size")
    read -r l l_min l_max < <(median_of "l19-$size")
    read -r z zmin zmax < <(median_of "zip-$size")
    read -r zz zzmin zzmax < <(median_of "zipzstd-$size")
    read -r od _ < <(median_of "default-objects-$size")
    read -r o19 _ < <(median_of "l19-objects-$size")
    read -r oz _ < <(median_of "zstd-objects-$size")
    read -r rd _ < <(median_of "default-rss-$size")
    read -r r19 _ < <(median_of "l19-rss-$size")
    awk -v s="$size" -v d="$d" -v dmin="$dmin" -v dmax="$dmax" -v l="$l" -v lmin="$l_min" -v lmax="$l_max" \
        -v z="$z" -v zmin="$zmin" -v zmax="$zmax" -v zz="$zz" -v zzmin="$zzmin" -v zzmax="$zzmax" \
        -v od="$od" -v o19="$o19" -v oz="$oz" -v rd="$rd" -v r19="$r19" 'BEGIN {
      printf "%s MiB client:\n", s
      printf "  default settings %d ms [%d..%d] vs zip -r -6 %d ms [%d..%d]: %.2f x (<= 4: %s)\n", d, dmin, dmax, z, zmin, zmax, d / z, (d <= 4 * z) ? "met" : "MISSED"
      printf "  --zstd-level 19 %d ms [%d..%d] vs zip + zstd -19 -T0 of every file %d ms [%d..%d]: %.2f x (<= 1.0: %s)\n", l, lmin, lmax, zz, zzmin, zzmax, l / zz, (l <= zz) ? "met" : "MISSED"
      printf "  objects: %.1f MiB at the default level, %.1f MiB at level 19 (%.1f %% more); zstd -19 of every file: %.1f MiB\n", od / 1048576, o19 / 1048576, (od - o19) * 100 / o19, oz / 1048576
      printf "  peak RSS of the tool: %d MiB default, %d MiB at level 19 (<= 512: %s)\n", rd / 1024, r19 / 1024, (rd <= 512 * 1024 && r19 <= 512 * 1024) ? "met" : "MISSED"
    }'
  done
} | tee "$out/results.txt"
echo "Written to $out/results.txt"
