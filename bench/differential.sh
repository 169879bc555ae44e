#!/usr/bin/env bash
# Differential updates against full installs, side by side in one run, on a
# client of 1 GiB content (2016 files, bench/make-package.py) served by the
# local release service: an update where 1 % of the files changed and one
# large file had 4 KiB changed (U), from a fresh install of the release before
# it, against the full install of the same release (F); the same update on a
# 4 GiB client (8059 files, U4); the extra disk space the update takes while
# it runs (free space sampled) and once it is recorded (blocks of the product
# folder, both versions kept); `ivra-update --verify` of the installed 1 GiB
# against `sha256sum` of the same files; an update across three releases at
# once (1.0.0 -> 1.3.0, X) and one from a tree without file index (N).
# Bytes fetched come from nginx's access log.
# Usage: bash bench/differential.sh [RUNS]   (default 3); IVRA_BENCH_ZSTD_LEVEL (3);
#        IVRA_BENCH_LARGE_MIB (4096; 0 leaves the large client out)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release ivra-bench ivra-update
runs=${1:-3}
level=${IVRA_BENCH_ZSTD_LEVEL:-3}
large=${IVRA_BENCH_LARGE_MIB:-4096}
out="$project/.run/bench-diff"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
base=https://127.0.0.1:8443
access="$project/.run/release-service/access.log"
: > "$out/samples.txt"
trap 'scripts/release-service.sh stop >/dev/null 2>&1 || true' EXIT
serve() { scripts/release-service.sh start "$1" >/dev/null; }

publish() { # tree version source [options]
  local tree=$1 version=$2 src=$3; shift 3
  "$build/ivra-release" client --tree "$tree" --base-url "$base" --product ivra-demo --channel bench \
    --version "$version" --minimum 1.0.0 --exe bin/client --from-folder "$src" --zstd-level "$level" "$@" >/dev/null
}
published_gateway() {
  printf 'bench installer\n' > "$work/setup.exe"
  "$build/ivra-release" gateway --tree "$1" --base-url "$base" --edition demo --channel bench \
    --version 2026.1024.1 --minimum 2026.1024.1 --installer "$work/setup.exe" >/dev/null
}
# Runs one pass in a home; prints "<ms> <rss KiB> <bytes served during it>".
# It starts once the writes before it are on disk.
pass() { # home
  sync; sleep 1
  local before; before=$(wc -l < "$access")
  read -r ms rss _ < <(XDG_DATA_HOME="$1" "$build/ivra-bench" pass)
  echo "$ms $rss $(tail -n +$((before + 1)) "$access" | awk '{s += $(NF-1)} END {print s + 0}')"
}
# Samples the free space of a file system until stopped; prints the largest
# drop below the first sample, in bytes.
free_space_sampler() { # folder stop-file
  python3 - "$1" "$2" <<'PY'
import os, sys, time
folder, stop = sys.argv[1], sys.argv[2]
def free():
    s = os.statvfs(folder)
    return s.f_bavail * s.f_frsize
first = lowest = free()
while not os.path.exists(stop):
    lowest = min(lowest, free())
    time.sleep(0.005)
print(first - min(lowest, free()))
PY
}
blocks() { du -sB1 "$1" | cut -f1; } # hard-linked files counted once

prepare() { # size
  local size=$1
  echo "== preparing ${size} MiB releases (zstd level $level)"
  python3 bench/make-package.py "$size" "$work/src-$size-1.0.0"
  derive "$work/src-$size-1.0.0" "$work/src-$size-1.1.0" 1
  # Tree a serves 1.0.0, tree b the same plus 1.1.0 (published artifacts never change).
  published_gateway "$work/tree-$size-a"
  publish "$work/tree-$size-a" 1.0.0 "$work/src-$size-1.0.0"
  cp -al "$work/tree-$size-a" "$work/tree-$size-b"
  publish "$work/tree-$size-b" 1.1.0 "$work/src-$size-1.1.0"
  rm -rf "$work/src-$size-1.0.0"
}
index() { echo "$work/tree-$1-b/releases/clients/ivra-demo/ivra-demo_$2.files.json"; }
# A fresh install of 1.0.0, then the update to 1.1.0, timed; samples under the given prefix.
update_run() { # size prefix
  local size=$1 prefix=$2 home="$work/home" product="$work/home/Ivra Engine/clients/ivra-demo"
  serve "$work/tree-$size-a"
  rm -rf "$home"; mkdir -p "$home"; pass "$home" >/dev/null
  serve "$work/tree-$size-b"
  local before; before=$(blocks "$product")
  rm -f "$work/stop"; sync
  free_space_sampler "$home" "$work/stop" > "$work/peak" & local sampler=$!
  read -r ms rss bytes < <(pass "$home")
  touch "$work/stop"; wait "$sampler"
  sample "$prefix" "$ms"; sample "${prefix}rss" "$rss"; sample "${prefix}bytes" "$bytes"
  sample "${prefix}peak" "$(cat "$work/peak")"
  sample "${prefix}after" "$(( $(blocks "$product") - before ))"
  grep -h "Differential update to 1.1.0" "$home/IVRA Labs/IvraLauncher/logs/"*.log | tail -3 > "$work/last-$prefix.log"
}

prepare 1024
read -r changed_size changed_packed < <(changed "$(index 1024 1.0.0)" "$(index 1024 1.1.0)")
# For N and X: a tree without file indexes, and 1.2.0 and 1.3.0.
plain="$work/tree-plain"; published_gateway "$plain"
publish "$plain" 1.1.0 "$work/src-1024-1.1.0" --no-file-index
derive "$work/src-1024-1.1.0" "$work/src-1024-1.2.0" 2
derive "$work/src-1024-1.2.0" "$work/src-1024-1.3.0" 3
if [ "$large" -gt 0 ]; then
  prepare "$large"
  read -r changed_size4 _ < <(changed "$(index "$large" 1.0.0)" "$(index "$large" 1.1.0)")
fi

for i in $(seq "$runs"); do
  update_run 1024 U
  home="$work/home"
  # --verify of that install, and sha256sum of the same files, back to back.
  folder="$home/Ivra Engine/clients/ivra-demo/1.1.0"
  sync; sleep 1; t=$(now_ms); XDG_DATA_HOME="$home" "$build/ivra-update" --verify > "$work/verify.out"
  sample V "$(( $(now_ms) - t ))"; cp "$work/verify.out" "$work/last-verify.out"
  sync; sleep 1; t=$(now_ms); (cd "$folder" && find . -type f -print0 | xargs -0 sha256sum > /dev/null)
  sample S "$(( $(now_ms) - t ))"
  rm -rf "$home"; mkdir -p "$home"
  read -r ms _ bytes < <(pass "$home"); sample F "$ms"; sample Fbytes "$bytes"
  if [ "$large" -gt 0 ]; then update_run "$large" U4; fi
  # N: the same update from a tree without file index.
  serve "$work/tree-1024-a"; rm -rf "$home"; mkdir -p "$home"; pass "$home" >/dev/null
  serve "$plain"
  read -r ms _ bytes < <(pass "$home"); sample N "$ms"; sample Nbytes "$bytes"
  echo "   run $i done"
done

# X: 1.0.0 -> 1.3.0 at once.
cp -al "$work/tree-1024-b" "$work/tree-1024-x"
publish "$work/tree-1024-x" 1.2.0 "$work/src-1024-1.2.0"
publish "$work/tree-1024-x" 1.3.0 "$work/src-1024-1.3.0"
read -r _ changed13 < <(changed "$(index 1024 1.0.0)" "$work/tree-1024-x/releases/clients/ivra-demo/ivra-demo_1.3.0.files.json")
serve "$work/tree-1024-a"; home="$work/home"; rm -rf "$home"; mkdir -p "$home"; pass "$home" >/dev/null
serve "$work/tree-1024-x"
read -r ms _ bytes < <(pass "$home"); sample X "$ms"; sample Xbytes "$bytes"
rm -rf "$home"

results="$out/results.txt"
{
  echo "IVRA Gateway differential update benchmark, $(date -u +%Y-%m-%dT%H:%MZ), runs: $runs, zstd level $level"
  read -r u umin umax < <(median_of U); read -r f fmin fmax < <(median_of F); read -r n _ < <(median_of N)
  read -r ub _ < <(median_of Ubytes); read -r fb _ < <(median_of Fbytes); read -r xb _ < <(median_of Xbytes)
  read -r x _ < <(median_of X); read -r rss _ < <(median_of Urss)
  read -r peak _ < <(median_of Upeak); read -r after _ < <(median_of Uafter)
  read -r v vmin vmax < <(median_of V); read -r sm smin smax < <(median_of S)
  u4=0 u4min=0 u4max=0 peak4=0 after4=0 rss4=0
  if [ "$large" -gt 0 ]; then
    read -r u4 u4min u4max < <(median_of U4); read -r peak4 _ < <(median_of U4peak)
    read -r after4 _ < <(median_of U4after); read -r rss4 _ < <(median_of U4rss)
  fi
  awk -v u="$u" -v umin="$umin" -v umax="$umax" -v f="$f" -v fmin="$fmin" -v fmax="$fmax" -v n="$n" \
      -v ub="$ub" -v fb="$fb" -v xb="$xb" -v x="$x" -v cp="$changed_packed" -v c13="$changed13" -v rss="$rss" \
      -v cs="$changed_size" -v peak="$peak" -v after="$after" -v v="$v" -v vmin="$vmin" -v vmax="$vmax" \
      -v s="$sm" -v smin="$smin" -v smax="$smax" -v large="$large" -v u4="$u4" -v u4min="$u4min" -v u4max="$u4max" \
      -v cs4="${changed_size4:-0}" -v peak4="$peak4" -v after4="$after4" -v rss4="$rss4" 'BEGIN {
    M = 1048576
    printf "1 %% update (U) %d ms [%d..%d] vs full install of the same release (F) %d ms [%d..%d]: %.2f (<= 0.15: %s)\n", u, umin, umax, f, fmin, fmax, u / f, (u <= 0.15 * f) ? "met" : "MISSED"
    if (large > 0)
      printf "the same change on the %d MiB client (U4) %d ms [%d..%d]: %.2f x U (<= 1.5: %s)\n", large, u4, u4min, u4max, u4 / u, (u4 <= 1.5 * u) ? "met" : "MISSED"
    printf "changed files: %.1f MiB; extra disk space while U runs: %.1f MiB (<= %.1f: %s), once recorded: %.1f MiB (<= %.1f: %s)\n", cs / M, peak / M, (2 * cs + 16 * M) / M, (peak <= 2 * cs + 16 * M) ? "met" : "MISSED", after / M, (cs + 16 * M) / M, (after <= cs + 16 * M) ? "met" : "MISSED"
    if (large > 0)
      printf "  on the %d MiB client: changed %.1f MiB, while %.1f MiB (<= %.1f: %s), recorded %.1f MiB (<= %.1f: %s)\n", large, cs4 / M, peak4 / M, (2 * cs4 + 16 * M) / M, (peak4 <= 2 * cs4 + 16 * M) ? "met" : "MISSED", after4 / M, (cs4 + 16 * M) / M, (after4 <= cs4 + 16 * M) ? "met" : "MISSED"
    printf "ivra-update --verify of the 1 GiB install %d ms [%d..%d] vs sha256sum %d ms [%d..%d]: %.2f (<= 1.0: %s)\n", v, vmin, vmax, s, smin, smax, v / s, (v <= s) ? "met" : "MISSED"
    printf "bytes fetched by U: %d, compressed size of the changed files plus the index: %d: %.2fx (<= 1.5: %s); F fetched %d\n", ub, cp, ub / cp, (ub <= 1.5 * cp) ? "met" : "MISSED", fb
    printf "1.0.0 -> 1.3.0 directly (X): %d ms, %d bytes fetched for %d bytes changed: %.2fx\n", x, xb, c13, xb / c13
    printf "update without file index (N): %d ms vs full install %d ms: %.2f\n", n, f, n / f
    printf "peak RSS of U: %d MiB, of U4: %d MiB (<= 64 MiB: %s)\n", rss / 1024, rss4 / 1024, (rss <= 65536 && rss4 <= 65536) ? "met" : "MISSED"
  }'
  echo "phases of the last U (log):"; cat "$work/last-U.log"
  echo "last verify: $(grep "files checked" "$work/last-verify.out")"
} | tee "$results"
echo "Written to $results"
