#!/usr/bin/env bash
# Differential updates against full installs, side by side in one run, on a
# client of 1 GiB content (bench/make-package.py) served by the local release
# service: an update where 1 % of the files changed and one large file had a
# small part changed (U), the full install of that release (F), an update
# across three releases at once (1.0.0 -> 1.3.0, X) and an update from a tree
# without file index (N); U and F once more over a 100 Mbit/s link. Bytes
# fetched come from nginx's access log.
# Usage: bash bench/differential.sh [RUNS]   (default 3); IVRA_BENCH_ZSTD_LEVEL (3)
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
bash scripts/install-deps.sh
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIVRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target ivra-release ivra-bench
runs=${1:-3}
level=${IVRA_BENCH_ZSTD_LEVEL:-3}
out="$project/.run/bench-diff"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
base=https://127.0.0.1:8443
access="$project/.run/release-service/access.log"
: > "$out/samples.txt"
trap 'scripts/release-service.sh stop >/dev/null 2>&1 || true' EXIT
sample() { echo "$1 $2" >> "$out/samples.txt"; }
stats() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%d %d %d\n", m, a[1], a[NR]}'; }
median_of() { grep "^$1 " "$out/samples.txt" | awk '{print $2}' | stats; }

# 1 % of the files rewritten, and 4 KiB in the middle of one large file.
derive() { # from to seed
  cp -a "$1" "$2"
  python3 - "$2" "$3" <<'PY'
import os, random, sys
root, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)
files = sorted(os.path.join(d, n) for d, _, ns in os.walk(root) for n in ns)
for path in rng.sample([f for f in files if "/small" in f], max(1, len(files) // 100)):
    with open(path, "ab") as f:
        f.write(b"changed in release %d\n" % seed)
large = os.path.join(root, "packs", "pack001.bin")
with open(large, "r+b") as f:
    f.seek(os.path.getsize(large) // 2)
    f.write(bytes(rng.getrandbits(8) for _ in range(4096)))
PY
}
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
# It starts once the copy or removal of the home before it is on disk.
pass() { # home
  sync; sleep 1
  local before; before=$(wc -l < "$access")
  read -r ms rss _ < <(XDG_DATA_HOME="$1" "$build/ivra-bench" pass)
  echo "$ms $rss $(tail -n +$((before + 1)) "$access" | awk '{s += $(NF-1)} END {print s + 0}')"
}
# The compressed size of what changed between two releases' indexes, plus the newer index.
changed_bytes() { # old-index new-index
  python3 - "$1" "$2" <<'PY'
import json, os, sys
old = {(e["path"], e["sha256"]) for e in json.load(open(sys.argv[1]))["files"]}
new = json.load(open(sys.argv[2]))["files"]
print(sum(e["objectSize"] for e in new if (e["path"], e["sha256"]) not in old) + os.path.getsize(sys.argv[2]))
PY
}

echo "== preparing 1 GiB releases (zstd level $level)"
python3 bench/make-package.py 1024 "$work/src-1.0.0"
derive "$work/src-1.0.0" "$work/src-1.1.0" 1
derive "$work/src-1.1.0" "$work/src-1.2.0" 2
derive "$work/src-1.2.0" "$work/src-1.3.0" 3
tree="$work/tree"; plain="$work/tree-noindex"
published_gateway "$tree"; published_gateway "$plain"
publish "$tree" 1.0.0 "$work/src-1.0.0"
publish "$plain" 1.0.0 "$work/src-1.0.0" --no-file-index
scripts/release-service.sh start "$tree" >/dev/null
installed="$work/home-1.0.0"; rm -rf "$installed"; mkdir -p "$installed"
pass "$installed" >/dev/null
publish "$tree" 1.1.0 "$work/src-1.1.0"
publish "$plain" 1.1.0 "$work/src-1.1.0" --no-file-index
index() { echo "$tree/releases/clients/ivra-demo/ivra-demo_$1.files.json"; }
changed11=$(changed_bytes "$(index 1.0.0)" "$(index 1.1.0)")

for i in $(seq "$runs"); do
  home="$work/home"
  rm -rf "$home"; cp -a "$installed" "$home"
  read -r ms rss bytes < <(pass "$home"); sample U "$ms"; sample Ubytes "$bytes"; sample Urss "$rss"
  rm -rf "$home"; mkdir -p "$home"
  read -r ms _ bytes < <(pass "$home"); sample F "$ms"; sample Fbytes "$bytes"
  scripts/release-service.sh start "$plain" >/dev/null
  rm -rf "$home"; cp -a "$installed" "$home"
  read -r ms _ bytes < <(pass "$home"); sample N "$ms"; sample Nbytes "$bytes"
  scripts/release-service.sh start "$tree" >/dev/null
  rm -rf "$home"
  echo "   run $i done"
done

# Once more over a 100 Mbit/s link (nginx limit_rate per connection), where
# a full install waits mostly on the network, as users' installs do.
slow="$work/limit-rate.conf"
echo "limit_rate 12500k;" > "$slow"
IVRA_RELEASE_EXTRA_CONF="$slow" scripts/release-service.sh start "$tree" >/dev/null
home="$work/home"; rm -rf "$home"; cp -a "$installed" "$home"
read -r ms _ _ < <(pass "$home"); sample Uslow "$ms"
rm -rf "$home"; mkdir -p "$home"
read -r ms _ _ < <(pass "$home"); sample Fslow "$ms"
rm -rf "$home"
scripts/release-service.sh start "$tree" >/dev/null

publish "$tree" 1.2.0 "$work/src-1.2.0"
publish "$tree" 1.3.0 "$work/src-1.3.0"
changed13=$(changed_bytes "$(index 1.0.0)" "$(index 1.3.0)")
home="$work/home"; rm -rf "$home"; cp -a "$installed" "$home"
read -r ms _ bytes < <(pass "$home"); sample X "$ms"; sample Xbytes "$bytes"
rm -rf "$home"

results="$out/results.txt"
{
  echo "IVRA Gateway differential update benchmark, $(date -u +%Y-%m-%dT%H:%MZ), runs: $runs, zstd level $level"
  read -r u umin umax < <(median_of U); read -r f fmin fmax < <(median_of F); read -r n _ < <(median_of N)
  read -r ub _ < <(median_of Ubytes); read -r fb _ < <(median_of Fbytes); read -r xb _ < <(median_of Xbytes)
  read -r x _ < <(median_of X); read -r rss _ < <(median_of Urss)
  read -r us _ < <(median_of Uslow); read -r fs _ < <(median_of Fslow)
  awk -v u="$u" -v umin="$umin" -v umax="$umax" -v f="$f" -v fmin="$fmin" -v fmax="$fmax" -v n="$n" \
      -v ub="$ub" -v fb="$fb" -v xb="$xb" -v x="$x" -v c11="$changed11" -v c13="$changed13" -v rss="$rss" -v us="$us" -v fs="$fs" 'BEGIN {
    printf "1 %% update (U) %d ms [%d..%d] vs full install of the same release (F) %d ms [%d..%d]: %.2f (<= 0.15: %s)\n", u, umin, umax, f, fmin, fmax, u / f, (u <= 0.15 * f) ? "met" : "MISSED"
    printf "the same over a 100 Mbit/s link: U %d ms vs F %d ms: %.2f\n", us, fs, us / fs
    printf "bytes fetched by U: %d, compressed size of the changed files plus the index: %d: %.2fx (<= 1.5: %s); F fetched %d\n", ub, c11, ub / c11, (ub <= 1.5 * c11) ? "met" : "MISSED", fb
    printf "1.0.0 -> 1.3.0 directly (X): %d ms, %d bytes fetched for %d bytes changed: %.2fx\n", x, xb, c13, xb / c13
    printf "update without file index (N): %d ms vs full install %d ms: %.2f\n", n, f, n / f
    printf "peak RSS of U: %d MiB (<= 64 MiB: %s)\n", rss / 1024, (rss <= 65536) ? "met" : "MISSED"
  }'
} | tee "$results"
echo "Written to $results"
