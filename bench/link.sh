#!/usr/bin/env bash
# The update pass over a link made on this machine: a network namespace of
# the script's own whose loopback carries what the release service sends at
# a set rate (a token bucket, tbf, on its port's traffic; the loopback's MTU
# at 1500, since at 64 KiB a packet exceeds the bucket) and, for a round
# trip, through bench/delay-proxy.py, which holds each direction for half of
# it. nginx serves HTTP/2 inside. Measured at 500 and 100 Mbit/s, with and
# without 40 ms round trip, medians of RUNS runs (and at 20 Mbit/s with
# 40 ms once, the many-file client only): curl downloading the package
# alone and followed by sync; a fresh install by ivra-update (process start
# to exit, durable); the update to a release with 1 % of its files changed.
# Two clients: the 1 GiB benchmark client (bench/make-package.py) and one of
# 20,000 files of 4 to 64 KiB (bench/make-many.py). Bytes come from nginx's
# access log. Needs root (network namespaces, tc).
# Usage: bash bench/link.sh [RUNS]   (default 3); IVRA_LINK_CLIENTS ("large many");
#        IVRA_LINK_LINKS ("500 0,500 40,100 0,100 40": rate and round trip);
#        IVRA_LINK_APPEND=1 adds to the samples of an earlier run.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
bench_build ivra-release ivra-update
runs=${1:-3}
clients=${IVRA_LINK_CLIENTS:-large many}
IFS=, read -r -a links <<< "${IVRA_LINK_LINKS:-500 0,500 40,100 0,100 40}"
out="$project/.run/bench-link"
work="$out/work"
rm -rf "$work"; mkdir -p "$work"
[ -n "${IVRA_LINK_APPEND:-}" ] || : > "$out/samples.txt"
ns=ivra-link
base=https://127.0.0.1:8443
access="$project/.run/release-service/access.log"
proxy=
inns() { ip netns exec "$ns" "$@"; }
stop_service() {
  inns scripts/release-service.sh stop >/dev/null 2>&1 || true
  if [ -n "$proxy" ]; then kill "$proxy" 2>/dev/null || true; wait "$proxy" 2>/dev/null || true; proxy=; fi
}
trap 'stop_service; ip netns del "$ns" 2>/dev/null || true' EXIT
ip netns del "$ns" 2>/dev/null || true
ip netns add "$ns"
inns ip link set lo up
inns ip link set lo mtu 1500

rate=0 rtt=0
# Everything the service's port sends goes through the bucket; the rest of
# the loopback (the proxy's side towards nginx) is not limited.
shape() { # Mbit/s round-trip-ms
  rate=$1 rtt=$2
  inns tc qdisc del dev lo root 2>/dev/null || true
  inns tc qdisc add dev lo root handle 1: htb default 20 r2q 10000
  inns tc class add dev lo parent 1: classid 1:10 htb rate 40gbit
  inns tc class add dev lo parent 1: classid 1:20 htb rate 40gbit
  inns tc qdisc add dev lo parent 1:10 handle 10: tbf rate "${rate}mbit" burst 64kb latency 400ms
  inns tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip sport 8443 0xffff flowid 1:10
}
serve() { # tree
  stop_service
  if [ "$rtt" -gt 0 ]; then
    inns env IVRA_RELEASE_HTTP2=1 IVRA_RELEASE_PORT=9443 scripts/release-service.sh start "$1" >/dev/null
    ip netns exec "$ns" python3 bench/delay-proxy.py 8443 9443 $((rtt / 2)) & proxy=$!
    for _ in $(seq 50); do inns bash -c '(exec 3<>/dev/tcp/127.0.0.1/8443)' 2>/dev/null && break; sleep 0.1; done
  else
    inns env IVRA_RELEASE_HTTP2=1 scripts/release-service.sh start "$1" >/dev/null
  fi
}
settle() { sync; sleep 1; }
lines() { wc -l < "$access"; }
served_since() { # line [pattern]
  tail -n +$(($1 + 1)) "$access" | grep -e "${2:-.}" | awk '{s += $(NF-1)} END {print s + 0}'
}

prepare() { # client
  local src="$work/src-$1"
  if [ "$1" = large ]; then python3 bench/make-package.py 1024 "$src"; else python3 bench/make-many.py "$src"; fi
  derive "$src" "$src-1.0.1" 1
  printf 'bench installer\n' > "$work/setup.exe"
  for tree in "$work/tree-$1-a" "$work/tree-$1-b"; do
    "$build/ivra-release" gateway --tree "$tree" --base-url "$base" --edition demo --channel bench \
      --version 2026.1024.1 --minimum 2026.1024.1 --installer "$work/setup.exe" >/dev/null
    "$build/ivra-release" client --tree "$tree" --base-url "$base" --product ivra-demo --channel bench \
      --version 1.0.0 --minimum 1.0.0 --exe bin/client --from-folder "$src" >/dev/null
  done
  "$build/ivra-release" client --tree "$work/tree-$1-b" --base-url "$base" --product ivra-demo --channel bench \
    --version 1.0.1 --minimum 1.0.0 --exe bin/client --from-folder "$src-1.0.1" >/dev/null
  rm -rf "$src" "$src-1.0.1"
  grep -v "^$1 " "$out/packages.txt" > "$out/packages.new" || true
  echo "$1 $(stat -c %s "$work/tree-$1-a/releases/clients/ivra-demo/ivra-demo_1.0.0.zip")" >> "$out/packages.new"
  mv "$out/packages.new" "$out/packages.txt"
}

measure() { # client runs
  local client=$1 key="$1-$rate-$rtt" home="$work/home" url="$base/releases/clients/ivra-demo/ivra-demo_1.0.0.zip"
  echo "== $client client, $rate Mbit/s, $rtt ms"
  for i in $(seq "$2"); do
    serve "$work/tree-$client-a"
    rm -f "$work/ref.zip"; settle
    local t0 t1; t0=$(now_ms)
    inns curl -sS -o "$work/ref.zip" "$url"
    t1=$(now_ms); sync
    sample "curl-$key" $((t1 - t0)); sample "curlsync-$key" $(($(now_ms) - t0))
    rm -f "$work/ref.zip"; rm -rf "$home"; mkdir -p "$home"; settle
    local before; before=$(lines); t0=$(now_ms)
    inns env XDG_DATA_HOME="$home" "$build/ivra-update" >/dev/null
    sample "fresh-$key" $(($(now_ms) - t0))
    sample "freshbytes-$key" "$(served_since "$before")"
    sample "freshpackage-$key" "$(served_since "$before" ivra-demo_1.0.0.zip)"
    serve "$work/tree-$client-b"; settle
    before=$(lines); t0=$(now_ms)
    inns env XDG_DATA_HOME="$home" "$build/ivra-update" >/dev/null
    sample "update-$key" $(($(now_ms) - t0))
    sample "updatebytes-$key" "$(served_since "$before")"
    sample "updateobjects-$key" "$(served_since "$before" /objects/)"
    grep -q "Differential update to 1.0.1" "$home/IVRA Labs/IvraLauncher/logs/"*.log || echo "   (the update was not differential)"
    echo "   run $i done"
  done
}

[ -n "${IVRA_LINK_APPEND:-}" ] || : > "$out/packages.txt"
for client in $clients; do
  prepare "$client"
  for link in "${links[@]}"; do
    shape $link
    measure "$client" "$runs"
  done
  if [ "$client" = many ]; then shape 20 40; measure many 1; fi
  stop_service
  rm -rf "$work/tree-$client-a" "$work/tree-$client-b"
done

row() { # client rate rtt
  local key="$1-$2-$3" package
  package=$(awk -v c="$1" '$1 == c {print $2}' "$out/packages.txt")
  read -r curl _ < <(median_of "curl-$key"); read -r curlsync _ < <(median_of "curlsync-$key")
  read -r fresh fmin fmax < <(median_of "fresh-$key"); read -r fbytes _ < <(median_of "freshbytes-$key")
  read -r fpackage _ < <(median_of "freshpackage-$key")
  read -r update umin umax < <(median_of "update-$key"); read -r ubytes _ < <(median_of "updatebytes-$key")
  read -r objects _ < <(median_of "updateobjects-$key")
  awk -v c="$1" -v r="$2" -v t="$3" -v curl="$curl" -v cs="$curlsync" -v f="$fresh" -v fmin="$fmin" -v fmax="$fmax" \
      -v fb="$fbytes" -v fp="$fpackage" -v p="$package" -v u="$update" -v umin="$umin" -v umax="$umax" -v ub="$ubytes" -v ob="$objects" 'BEGIN {
    # fresh: against curl + sync for the 1 GiB client, against curl for the many-file one
    ref = (c == "large") ? cs : curl; ratio = f / ref
    limit = (c == "large") ? ((r == 100) ? 1.02 : (r == 500) ? 1.05 : 0) : ((r == 100 && t == 40) ? 1.1 : 0)
    # update: the changed objects of the 1 GiB client, or all that the update
    # of the many-file client moves (its index is most of it), at the rate,
    # plus round trips and a constant
    budget = ((c == "large") ? ob : ub) * 8 / (r * 1000) + ((c == "large") ? 10 * t + 300 : 20 * t + 500)
    utarget = (r == 100 && t == 40)
    printf "%-5s %3d Mbit/s %2d ms | curl %6d  +sync %6d | fresh %6d [%d..%d] %5.3f %-11s | %9d B (package %9d of %9d) | update %5d [%d..%d] %-18s | %8d B (objects %8d)\n",
      c, r, t, curl, cs, f, fmin, fmax, ratio, (limit > 0) ? ((ratio <= limit) ? "<=" limit " met" : "<=" limit " MISSED") : "",
      fb, fp, p, u, umin, umax, utarget ? ((u <= budget) ? sprintf("<=%d met", budget) : sprintf("<=%d MISSED", budget)) : "", ub, ob }'
}
{
  echo "IVRA Gateway over a link, $(date -u +%Y-%m-%dT%H:%MZ), medians of $runs runs (20 Mbit/s: one run), times in ms"
  while read -r client bytes; do echo "$client client: package of $bytes bytes"; done < "$out/packages.txt"
  for client in $(awk '{print $1}' "$out/packages.txt"); do
    for link in "500 0" "500 40" "100 0" "100 40" "20 40"; do
      if grep -q "^fresh-$client-${link/ /-} " "$out/samples.txt"; then row "$client" $link; fi
    done
  done
} | tee "$out/results.txt"
echo "Written to $out/results.txt"
