#!/usr/bin/env bash
# Peak memory of a signed launcher's pass (ivra-update) while its release host
# sends 1 GiB of signature, or of manifest: once through nginx, which announces
# the length, and once through a server that streams the bytes with no length
# at all. Each figure is the median of RUNS runs (default 3), in MiB, beside
# the pass against a well-formed release. Results in .run/bench-oversized/results.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
runs=${1:-3}
build=build-bench
out="$PWD/.run/bench-oversized"
keys="$PWD/.run/bench/keys"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIVRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target ivra-release >/dev/null
[ -f "$keys/bench.key" ] || "$build/ivra-release" keygen --secret-key "$keys/bench.key" --public-key "$keys/bench.pub" --no-passphrase >/dev/null
cmake -S . -B "$build" -DIVRA_BENCH_PUBLIC_KEY="$(sed -n 2p "$keys/bench.pub")" >/dev/null
cmake --build "$build" --target ivra-update-bench-signed ivra-release >/dev/null
rm -rf "$out"; mkdir -p "$out/src/bin"
tree="$out/tree" base=https://127.0.0.1:8443
state="$PWD/.run/release-service"
trap 'kill ${streamer:-0} 2>/dev/null; scripts/release-service.sh stop >/dev/null 2>&1 || true' EXIT
printf '#!/bin/sh\n' > "$out/src/bin/client"; chmod +x "$out/src/bin/client"
"$build/ivra-release" client --tree "$tree" --base-url "$base" --product ivra-demo --channel bench \
  --version 1.0.0 --exe bin/client --from-folder "$out/src" --secret-key "$keys/bench.key" >/dev/null
"$build/ivra-release" gateway --tree "$tree" --base-url "$base" --edition demo --channel bench \
  --version 2026.1024.1 --installer "$out/src/bin/client" --secret-key "$keys/bench.key" >/dev/null
manifests="$tree/releases/manifests"
cp -a "$manifests" "$out/good-manifests"

# Peak RSS (MiB) of one pass in a fresh data folder, measured by its parent.
peak() {
  rm -rf "$out/home"; mkdir -p "$out/home"
  XDG_DATA_HOME="$out/home" python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)' "$build/ivra-update-bench-signed"
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
measure() { for _ in $(seq "$runs"); do peak; done | median; }

scripts/release-service.sh start "$tree" >/dev/null
normal=$(measure)
truncate -s 1G "$manifests/gateway-demo.json.minisig"
nginx_signature=$(measure)
cp "$out/good-manifests/gateway-demo.json.minisig" "$manifests/"
truncate -s 1G "$manifests/gateway-demo.json"
nginx_manifest=$(measure)
scripts/release-service.sh stop >/dev/null

# The same certificate on the same port, but every manifest and signature an
# endless stream with no Content-Length.
python3 - "$state/server.crt" "$state/server.key" <<'PY' & streamer=$!
import http.server, ssl, sys
class Endless(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def do_GET(self):
        self.send_response(200); self.end_headers()
        chunk = (b"\n" if ".minisig" in self.path else b" ") * (1 << 20)
        try:
            for _ in range(1024):
                self.wfile.write(chunk)
        except OSError:
            pass
    def log_message(self, *args): pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 8443), Endless)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); context.load_cert_chain(sys.argv[1], sys.argv[2])
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
PY
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/8443) 2>/dev/null && break; sleep 0.1; done
streamed=$(measure)

{
  echo "Peak memory of ivra-update (signed), median of $runs runs, MiB"
  echo "well-formed release (the client installs)        $normal"
  echo "1 GiB signature, length announced (nginx)         $nginx_signature"
  echo "1 GiB manifest, length announced (nginx)          $nginx_manifest"
  echo "1 GiB of signature and manifest, no length        $streamed"
} | tee "$out/results.txt"
