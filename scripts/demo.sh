#!/usr/bin/env bash
# The launcher's main job: installs what is missing, builds the launcher and
# runs it. With no display it runs under Xvfb and writes a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

mkdir -p .run
if [ -n "${DISPLAY:-}" ]; then
  exec ./build/IvraLauncher
fi

# No display: start the launcher under a virtual one, photograph it, end it.
shot="$PWD/.run/launcher.png"
xvfb-run -a -s "-screen 0 800x500x24" bash -c '
  ./build/IvraLauncher & pid=$!
  sleep "${IVRA_DEMO_SECONDS:-4}"
  import -window root "$1"
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true
' _ "$shot"
echo "Screenshot of the window: $shot"
echo "Log folder: ${XDG_DATA_HOME:-$HOME/.local/share}/IVRA Labs/IvraLauncher/logs"
