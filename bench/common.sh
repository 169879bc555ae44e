# Helpers the benchmarks share; each script sources this from the project's
# folder and sets $out before it samples.
project=$PWD
# Sets up the machine and builds the given targets in the Release build build-bench.
bench_build() { # targets...
  bash scripts/install-deps.sh
  build=build-bench
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIVRA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target "$@"
}
sample() { echo "$1 $2" >> "$out/samples.txt"; }
# median and spread (min..max) of the numbers on stdin
stats() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%d %d %d\n", m, a[1], a[NR]}'; }
median_of() { grep "^$1 " "$out/samples.txt" | awk '{print $2}' | stats; }
now_ms() { date +%s%3N; }

# 1 % of the files rewritten, and 4 KiB in the middle of one large file (if any).
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
if os.path.exists(large):
    with open(large, "r+b") as f:
        f.seek(os.path.getsize(large) // 2)
        f.write(bytes(rng.getrandbits(8) for _ in range(4096)))
PY
}
# The sizes of the files that changed between two releases' indexes:
# "<bytes> <compressed bytes plus the newer index>".
changed() { # old-index new-index
  python3 - "$1" "$2" <<'PY'
import json, os, sys
old = {(e["path"], e["sha256"]) for e in json.load(open(sys.argv[1]))["files"]}
new = [e for e in json.load(open(sys.argv[2]))["files"] if (e["path"], e["sha256"]) not in old]
print(sum(e["size"] for e in new), sum(e["objectSize"] for e in new) + os.path.getsize(sys.argv[2]))
PY
}
