#!/usr/bin/env bash
# The launcher's main job, from a fresh machine: installs what is missing,
# builds the release tool, makes (or reuses) a signing key under .run/keys,
# builds the launcher trusting that key and a demo client, publishes the client
# as 1.0.0 signed, starts the local HTTPS release service and runs the launcher. On a
# desktop the window shows; with no display it runs under Xvfb, writes
# screenshots of the ready window and presses Launch.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build-demo
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIVRA_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build" -j "$jobs" --target ivra-release

# The demo's signing key. A real one lives off the release host (see README).
keys="$PWD/.run/keys"
if [ ! -f "$keys/release.key" ]; then
  "./$build/ivra-release" keygen --secret-key "$keys/release.key" --public-key "$keys/release.pub" --no-passphrase
fi
public_key=$(sed -n 2p "$keys/release.pub")
cmake -S . -B "$build" -DIVRA_RELEASE_PUBLIC_KEYS="$public_key" >/dev/null
cmake --build "$build" -j "$jobs" --target IvraLauncher ivra-release ivra-demo-client
echo "The launcher trusts release key $public_key"

tree="$PWD/.run/release-tree"
export IVRA_SIGNING_KEY="$keys/release.key" IVRA_SIGNING_PUBLIC_KEY="$keys/release.pub"
scripts/publish-demo.sh "$build" "$tree" 1.0.0
scripts/release-service.sh start "$tree"

if [ -n "${DISPLAY:-}" ]; then
  exec "./$build/IvraLauncher"
fi

shots="$PWD/.run"
xvfb-run -a -s "-screen 0 800x500x24 -noreset" bash -c '
  set -u
  ./'"$build"'/IvraLauncher & pid=$!
  for _ in $(seq 100); do
    wid=$(xdotool search --name "IVRA ENGINE 2.0 Beta" 2>/dev/null | head -1) && [ -n "$wid" ] && break
    sleep 0.1
  done
  sleep "${IVRA_DEMO_SECONDS:-3}"
  import -window root "$1/launcher-ready.png"
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove $((X + 50)) $((Y + 248)) click 1   # the Launch button
  sleep 2
  import -window root "$1/client-started.png"
  if kill -0 "$pid" 2>/dev/null; then echo "The launcher is still open."; kill "$pid"; fi
' _ "$shots"

data="${XDG_DATA_HOME:-$HOME/.local/share}"
echo "Screenshots: $shots/launcher-ready.png, $shots/client-started.png"
echo "Installed client: $data/Ivra Engine/clients/ivra-demo/"
echo "Started client recorded: $(cat "$data/Ivra Engine/clients/ivra-demo/1.0.0/bin/ivra-demo-client.started.json" 2>/dev/null | tr -d '\n' || echo none)"
echo "Log folder: $data/IVRA Labs/IvraLauncher/logs"
echo "The release service keeps running: scripts/release-service.sh stop"
