#!/usr/bin/env bash
# What making a 1 GiB install durable costs, two ways, as the launcher would
# meet it: a package just downloaded (copied) and extracted, both still in the
# page cache. S: one syncfs of the file system (`sync -f`), which writes the
# package too; F: fdatasync of every extracted file and fsync of every folder,
# on two threads, leaving the package to the kernel. Medians of RUNS
# (default 3) in .run/bench-sync/results.txt. Usage: bash bench/sync.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
out="$PWD/.run/bench-sync"; work="$out/work"
rm -rf "$work"; mkdir -p "$work"
python3 bench/make-package.py 1024 "$work/src" >/dev/null
(cd "$work/src" && zip -qr -1 "$work/package.zip" .)
rm -rf "$work/src"
now_ms() { date +%s%3N; }
stats() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%d [%d..%d]", m, a[1], a[NR]}'; }
per_file() {
  python3 - "$1" <<'PY'
import os, sys
from concurrent.futures import ThreadPoolExecutor
def sync(path, folder=False):
    fd = os.open(path, os.O_RDONLY | (os.O_DIRECTORY if folder else 0))
    try:
        (os.fsync if folder else os.fdatasync)(fd)
    finally:
        os.close(fd)
files, folders = [], []
for root, dirs, names in os.walk(sys.argv[1]):
    folders.append(root)
    files += [os.path.join(root, n) for n in names]
with ThreadPoolExecutor(2) as pool:
    list(pool.map(sync, files))
for folder in folders:
    sync(folder, True)
PY
}
: > "$work/S.txt"; : > "$work/F.txt"
for i in $(seq "$runs"); do
  for kind in S F; do
    rm -rf "$work/x" "$work/p.zip"; sync; sleep 1
    cp "$work/package.zip" "$work/p.zip"; unzip -q "$work/p.zip" -d "$work/x"
    t0=$(now_ms)
    if [ "$kind" = S ]; then sync -f "$work/x"; else per_file "$work/x"; fi
    echo $(( $(now_ms) - t0 )) >> "$work/$kind.txt"
  done
done
{
  echo "Making a 1 GiB install durable ($(du -sm "$work/x" | cut -f1) MiB extracted, package $(( $(stat -c %s "$work/package.zip") >> 20 )) MiB), medians of $runs [min..max]"
  echo "syncfs of the file system: $(stats < "$work/S.txt") ms"
  echo "fdatasync of every file, fsync of every folder: $(stats < "$work/F.txt") ms"
} | tee "$out/results.txt"
rm -rf "$work"
