#!/usr/bin/env bash
# Configure only, in a fresh build folder: what configure says it bakes in, and
# a base URL given again on reconfigure replaces the manifest URLs derived from
# the old one, while a manifest URL given on its own stays as given.
# Usage: reconfigure-check.sh SOURCE_DIR
set -uo pipefail
source=$1
build=$(mktemp -d "${TMPDIR:-/tmp}/ivra-reconfigure.XXXXXX")
trap 'rm -rf "$build"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
configure() { out=$(cmake -S "$source" -B "$build" -G Ninja -DIVRA_BUILD_TESTS=OFF "$@" 2>&1) || fail "configure $*: $out"; }
says() { grep -qF -- "$1" <<<"$out" || fail "configure did not say \"$1\": $out"; }
cached() { grep "^$1:" "$build/CMakeCache.txt" | cut -d= -f2-; }
manifests=releases/manifests
key=$(sed -n 2p "$source/tests/keys/ivra-test-a.pub")

configure -DIVRA_RELEASE_BASE_URL=https://one.example
says "IVRA launcher 2026.1024.1, edition demo, channel stable"
says "IVRA Gateway manifest: https://one.example/$manifests/gateway-demo.json"
says "IVRA client manifest: https://one.example/$manifests/client-ivra-demo.json"
says "IVRA release keys: none (unsigned releases)"

configure -DIVRA_RELEASE_BASE_URL=https://two.example/ -DIVRA_RELEASE_PUBLIC_KEYS="$key"
[ "$(cached IVRA_GATEWAY_MANIFEST_URL)" = "https://two.example/$manifests/gateway-demo.json" ] ||
  fail "Gateway manifest URL kept: $(cached IVRA_GATEWAY_MANIFEST_URL)"
[ "$(cached IVRA_CLIENT_MANIFEST_URL)" = "https://two.example/$manifests/client-ivra-demo.json" ] ||
  fail "client manifest URL kept: $(cached IVRA_CLIENT_MANIFEST_URL)"
says "IVRA release keys: 1 trusted"

configure -DIVRA_CLIENT_MANIFEST_URL=https://cdn.example/client.json
configure -DIVRA_RELEASE_BASE_URL=https://three.example
says "IVRA Gateway manifest: https://three.example/$manifests/gateway-demo.json"
says "IVRA client manifest: https://cdn.example/client.json"

# Mirrors serve the paths under the base URL: a manifest elsewhere is refused by name.
out=$(cmake -S "$source" -B "$build" -DIVRA_RELEASE_MIRRORS="https://m.example/x/" 2>&1) &&
  fail "mirrors accepted with a client manifest outside the base URL"
says "IVRA_RELEASE_MIRRORS: mirrors serve the paths under IVRA_RELEASE_BASE_URL"
says "https://cdn.example/client.json"
configure -DIVRA_CLIENT_MANIFEST_URL=https://three.example/$manifests/client-ivra-demo.json
says "IVRA release mirrors, after https://three.example: https://m.example/x/"

# Mirrors are any host: without release keys what they serve is not checked.
out=$(cmake -S "$source" -B "$build" -DIVRA_RELEASE_PUBLIC_KEYS= 2>&1) &&
  fail "mirrors accepted without release keys"
says "mirrors need signed releases: set"

# The documented configure, tests on: the test builds follow the manifest URLs.
rm -rf "$build"
configure -DIVRA_BUILD_TESTS=ON \
  -DIVRA_GATEWAY_MANIFEST_URL=https://releases.example.com/$manifests/gateway-demo.json \
  -DIVRA_CLIENT_MANIFEST_URL=https://releases.example.com/$manifests/client-ivra-demo.json
says "IVRA Gateway manifest: https://releases.example.com/$manifests/gateway-demo.json"
configure -DIVRA_BUILD_TESTS=ON -DIVRA_CLIENT_MANIFEST_URL=https://cdn.example/client.json
says "IVRA tests: the mirrors test build is left out"

[ "$failures" -eq 0 ] && echo "reconfigure: all checks passed"
[ "$failures" -eq 0 ]
