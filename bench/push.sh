#!/usr/bin/env bash
# `ivra-release push` against rclone's own plain copy of the same tree, to the
# local S3-compatible server (scripts/release-service.sh s3): the 1 GiB
# benchmark client (bench/make-package.py) published as 1.0.0 with its file
# index, pushed to an empty bucket (P) and copied by `rclone copy` to an
# empty bucket (R), side by side in each run. Then 1.1.0 with 1 % of its files
# changed (bench/common.sh derive) pushed on top: the bytes it uploads against
# the sizes of the files that are new in the tree.
# Usage: bash bench/push.sh [RUNS]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release
runs=${1:-3}
out="$project/.run/bench-push"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
: > "$out/samples.txt"
export IVRA_S3_PORT=${IVRA_S3_PORT:-9000} IVRA_S3_DIR="$work/s3"
export RCLONE_CONFIG_BENCH_TYPE=s3 RCLONE_CONFIG_BENCH_PROVIDER=Other \
  RCLONE_CONFIG_BENCH_ENDPOINT=http://127.0.0.1:$IVRA_S3_PORT \
  RCLONE_CONFIG_BENCH_ACCESS_KEY_ID=S3RVER RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY=S3RVER
trap 'scripts/release-service.sh s3 stop >/dev/null 2>&1 || true' EXIT
# An empty bucket for each upload: the server's data goes with it.
fresh_bucket() {
  scripts/release-service.sh s3 stop >/dev/null
  rm -rf "$IVRA_S3_DIR"
  scripts/release-service.sh s3 start >/dev/null
  sync; sleep 1
}
base=https://releases.example.com
publish() { # tree version source
  "$build/ivra-release" client --tree "$1" --base-url "$base" --product ivra-demo --channel bench \
    --version "$2" --minimum 1.0.0 --exe bin/client --from-folder "$3" >/dev/null
}

echo "== preparing the 1 GiB release"
python3 bench/make-package.py 1024 "$work/src-1.0.0"
derive "$work/src-1.0.0" "$work/src-1.1.0" 1
tree="$work/tree"
publish "$tree" 1.0.0 "$work/src-1.0.0"
printf 'bench installer\n' > "$work/setup.exe"
"$build/ivra-release" gateway --tree "$tree" --base-url "$base" --edition demo --channel bench \
  --version 2026.1024.1 --minimum 2026.1024.1 --installer "$work/setup.exe" >/dev/null
rm -rf "$work/src-1.0.0"
# rclone reads AWS_CA_BUNDLE and fails on it; push passes it as --ca-cert.
plain_copy() { AWS_CA_BUNDLE= rclone copy "$tree" bench:ivra --transfers 8 --log-level ERROR; }

for i in $(seq "$runs"); do
  fresh_bucket; t=$(now_ms); "$build/ivra-release" push --tree "$tree" --to bench:ivra >/dev/null
  sample P $(( $(now_ms) - t ))
  fresh_bucket; t=$(now_ms); plain_copy
  sample R $(( $(now_ms) - t ))
  echo "run $i: push $(tail -2 "$out/samples.txt" | head -1 | cut -d' ' -f2) ms, rclone copy $(tail -1 "$out/samples.txt" | cut -d' ' -f2) ms"
done

# The update: what is new in the tree, against what the push uploads.
before=$(cd "$tree" && find . -type f -printf '%P %s\n' | sort)
publish "$tree" 1.1.0 "$work/src-1.1.0"
new_files=$(cd "$tree" && find . -type f -printf '%P %s\n' | sort | comm -13 <(echo "$before") - | grep -v "^releases/manifests/")
new_bytes=$(echo "$new_files" | awk '{s += $2} END {print s + 0}')
package=$(echo "$new_files" | awk '/\.zip / {s += $2} END {print s + 0}')
manifest_bytes=$(cd "$tree" && find releases/manifests -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
pushed=$("$build/ivra-release" push --tree "$tree" --to bench:ivra | grep -o "; [0-9]* to upload ([0-9]* bytes)" | grep -o "([0-9]*" | tr -d '(')
read -r p pmin pmax < <(median_of P)
read -r r rmin rmax < <(median_of R)
{
  echo "IVRA push benchmark, $(date -u +%FT%RZ), runs: $runs, 1 GiB client, local s3rver"
  awk -v p="$p" -v pmin="$pmin" -v pmax="$pmax" -v r="$r" -v rmin="$rmin" -v rmax="$rmax" 'BEGIN {
    printf "push to an empty bucket %d ms [%d..%d] vs rclone copy %d ms [%d..%d]: %.2f (<= 1.5: %s)\n",
      p, pmin, pmax, r, rmin, rmax, p / r, (p <= 1.5 * r) ? "met" : "MISSED" }'
  awk -v pushed="$pushed" -v manifests="$manifest_bytes" -v fresh="$new_bytes" -v package="$package" 'BEGIN {
    objects = fresh - package
    printf "push of 1.1.0 (1 %% changed): %d artifact bytes uploaded, then %d bytes of manifests; new in the tree: %d bytes of objects and index, %d of package\n",
      pushed, manifests, objects, package
    printf "  uploaded / new files (objects, index, package, manifests): %.3f (<= 1.1: %s)\n",
      (pushed + manifests) / (fresh + manifests), (pushed + manifests <= 1.1 * (fresh + manifests)) ? "met" : "MISSED" }'
} | tee "$out/results.txt"
