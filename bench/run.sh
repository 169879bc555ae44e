#!/usr/bin/env bash
# Benchmark of the whole update pass against the standard tools, on the same
# files and the same local HTTPS release service. Prints a table of ratios
# (launcher / reference, measured side by side in this run) and writes it to
# .run/bench/results.txt. Usage: bash bench/run.sh [RUNS_SMALL] [RUNS_LARGE]
# The releases have a file index, as published by default (their package is
# then not kept); IVRA_BENCH_NO_INDEX=1 publishes package-only releases.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release
out="$project/.run/bench"
# The signed driver trusts a key of the benchmark's own.
keys="$out/keys"
[ -f "$keys/bench.key" ] || "$build/ivra-release" keygen --secret-key "$keys/bench.key" --public-key "$keys/bench.pub" --no-passphrase >/dev/null
cmake -S . -B "$build" -DIVRA_BENCH_PUBLIC_KEY="$(sed -n 2p "$keys/bench.pub")" >/dev/null
cmake --build "$build" -j "$(nproc)" --target IvraLauncher ivra-release ivra-bench ivra-bench-signed

runs_small=${1:-5} runs_large=${2:-3}
work="$out/work"
mkdir -p "$out"
rm -rf "$work"; mkdir -p "$work"
base=https://127.0.0.1:8443
results="$out/results.txt"
: > "$out/samples.txt"; : > "$out/packages.txt"
trap 'scripts/release-service.sh stop >/dev/null 2>&1 || true' EXIT

# Every timed step starts from a quiet disk: the writes of the step before are
# on disk, so neither side pays for the other's write-back.
settle() { sync; sleep 1; }

for size in 64 1024; do
  runs=$runs_small; [ "$size" -gt 64 ] && runs=$runs_large
  echo "== ${size} MiB package"
  src="$work/src-$size"; tree="$work/tree-$size"
  python3 bench/make-package.py "$size" "$src"
  "$build/ivra-release" client --tree "$tree" --base-url "$base" --product ivra-demo --channel bench \
    --version 1.0.0 --minimum 1.0.0 --exe bin/client --from-folder "$src" --secret-key "$keys/bench.key" ${IVRA_BENCH_NO_INDEX:+--no-file-index} >/dev/null
  printf 'bench installer\n' > "$work/setup.exe"
  "$build/ivra-release" gateway --tree "$tree" --base-url "$base" --edition demo --channel bench \
    --version 2026.1024.1 --minimum 2026.1024.1 --installer "$work/setup.exe" --secret-key "$keys/bench.key" >/dev/null
  rm -rf "$src"
  scripts/release-service.sh start "$tree" >/dev/null
  package="$tree/releases/clients/ivra-demo/ivra-demo_1.0.0.zip"
  echo "$size $(stat -c %s "$package")" >> "$out/packages.txt"
  url="$base/releases/clients/ivra-demo/ivra-demo_1.0.0.zip"

  for i in $(seq "$runs"); do
    # A: fresh install through the real window code.
    home="$work/home"; rm -rf "$home"; mkdir -p "$home"; settle
    read -r ms rss gap < <(XDG_DATA_HOME="$home" "$build/ivra-bench" pass)
    sample "A$size" "$ms"; sample "RSS$size" "$rss"; sample "GAP$size" "$gap"
    # C: the same again, up to date.
    read -r ms _ < <(XDG_DATA_HOME="$home" "$build/ivra-bench" pass)
    sample "C$size" "$ms"
    # S: up to date with signatures (the first signed pass remembers the timestamps).
    XDG_DATA_HOME="$home" "$build/ivra-bench-signed" pass >/dev/null
    read -r ms _ < <(XDG_DATA_HOME="$home" "$build/ivra-bench-signed" pass)
    sample "S$size" "$ms"
    rm -rf "$home"
    # B: the reference pipeline on the same file and server.
    ref="$work/ref"; rm -rf "$ref"; mkdir -p "$ref"; settle
    t0=$(now_ms)
    curl -sS -o "$ref/p.zip" "$url"
    openssl dgst -sha256 "$ref/p.zip" >/dev/null
    unzip -q "$ref/p.zip" -d "$ref/x"
    sync # the launcher's install is on disk when it is recorded: so is the reference's
    sample "B$size" "$(( $(now_ms) - t0 ))"
    rm -rf "$ref"
    t0=$(now_ms)
    curl -sS -o /dev/null "$base/releases/manifests/gateway-demo.json?edition=demo"
    curl -sS -o /dev/null "$base/releases/manifests/client-ivra-demo.json?product=ivra-demo"
    sample "Cref$size" "$(( $(now_ms) - t0 ))"
    t0=$(now_ms)
    for manifest in "gateway-demo.json?edition=demo" "client-ivra-demo.json?product=ivra-demo"; do
      curl -sS -o /dev/null "$base/releases/manifests/$manifest"
      curl -sS -o /dev/null "$base/releases/manifests/${manifest/\?/.minisig?}"
    done
    sample "Sref$size" "$(( $(now_ms) - t0 ))"
    if [ "$size" -gt 64 ]; then
      # D: digest and extraction alone.
      read -r ms _ < <("$build/ivra-bench" digest "$package"); sample Ddigest "$ms"
      t0=$(now_ms); openssl dgst -sha256 "$package" >/dev/null; sample Ddigestref "$(( $(now_ms) - t0 ))"
      rm -rf "$work/x"; settle
      read -r ms _ < <("$build/ivra-bench" extract "$package" "$work/x"); sample Dextract "$ms"
      rm -rf "$work/x"; settle
      t0=$(now_ms); unzip -q "$package" -d "$work/x"; sample Dextractref "$(( $(now_ms) - t0 ))"
      rm -rf "$work/x"
    fi
    echo "   run $i done"
  done
  if [ "$size" -gt 64 ]; then
    # R: a download cut at half by killing the launcher, then finished by a new
    # start; nginx's access log tells how many bytes were served in all.
    home="$work/home"; rm -rf "$home"; mkdir -p "$home"
    access="$project/.run/release-service/access.log"; lines=$(wc -l < "$access")
    part="$home/Ivra Engine/downloads/ivra-demo/ivra-demo_1.0.0.zip.part"
    total=$(stat -c %s "$package")
    XDG_DATA_HOME="$home" "$build/ivra-bench" pass >/dev/null 2>&1 & pid=$!
    while kill -0 "$pid" 2>/dev/null && [ "$(stat -c %s "$part" 2>/dev/null || echo 0)" -lt $((total / 2)) ]; do sleep 0.05; done
    kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true
    XDG_DATA_HOME="$home" "$build/ivra-bench" pass >/dev/null
    served=$(tail -n +$((lines + 1)) "$access" | grep "ivra-demo_1.0.0.zip" | awk '{s += $(NF-1)} END {print s + 0}')
    echo "$total $served" > "$out/resume.txt"
    rm -rf "$home"
  fi
  scripts/release-service.sh stop >/dev/null
  rm -rf "$tree"
done

row() { # label launcher-key reference-key target
  read -r lm lmin lmax < <(median_of "$2"); read -r rm rmin rmax < <(median_of "$3")
  awk -v l="$1" -v lm="$lm" -v lmin="$lmin" -v lmax="$lmax" -v rm="$rm" -v rmin="$rmin" -v rmax="$rmax" -v t="$4" \
    'BEGIN { r = (rm > 0) ? lm / rm : 0; printf "%-38s %8d ms [%d..%d] %8d ms [%d..%d] %6.2f  %s\n", l, lm, lmin, lmax, rm, rmin, rmax, r, (t == "-") ? "(no target)" : ((r <= t + 0) ? "<= " t " met" : "<= " t " MISSED") }'
}
{
  echo "IVRA Gateway benchmark, $(date -u +%Y-%m-%dT%H:%MZ), runs: $runs_small (64 MiB), $runs_large (1 GiB)"
  printf "%-38s %-24s %-24s %6s\n" "measure" "launcher median [spread]" "reference median [spread]" "ratio"
  row "A/B fresh install, 64 MiB" A64 B64 -
  row "A/B fresh install, 1 GiB" A1024 B1024 0.5
  row "C up to date / two curl fetches" C1024 Cref1024 1.5
  row "S signed up to date / four curl fetches" S1024 Sref1024 1.5
  row "D digest / openssl dgst -sha256" Ddigest Ddigestref 1.2
  row "D extraction / unzip -q" Dextract Dextractref 0.3
  while read -r content bytes; do echo "package of $content MiB content: $((bytes / 1048576)) MiB compressed"; done < "$out/packages.txt"
  read -r gap _ < <(median_of GAP1024)
  awk -v g="$gap" 'BEGIN { printf "longest event-loop gap during the 1 GiB install (median of runs): %d ms (<= 100 ms: %s)\n", g, (g <= 100) ? "met" : "MISSED" }'
  if [ -f "$out/resume.txt" ]; then
    read -r total served < "$out/resume.txt"
    awk -v t="$total" -v s="$served" 'BEGIN { printf "download killed at 50 %% and resumed: %d bytes served for a %d-byte package, %.3fx (<= 1.05: %s)\n", s, t, s / t, (s <= t * 1.05) ? "met" : "MISSED" }'
  fi
  read -r r64 _ < <(median_of RSS64); read -r r1024 _ < <(median_of RSS1024)
  awk -v a="$r64" -v b="$r1024" 'BEGIN { printf "peak RSS of A: %d MiB at 64 MiB, %d MiB at 1 GiB (<= 64 MiB: %s; within 10%%: %s)\n", a/1024, b/1024, (b <= 65536) ? "met" : "MISSED", (b <= a * 1.1) ? "met" : "MISSED" }'
} | tee "$results"
echo "Written to $results"
