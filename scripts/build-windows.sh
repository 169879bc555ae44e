#!/usr/bin/env bash
# Cross-compiles IvraLauncher.exe and ivra-update.exe into build-windows/ and
# lays out build-windows/dist/, everything a Windows machine needs beside
# them. Arguments go to the configure step (-DIVRA_BUILD_VERSION=2026.1101.1).
# The SDK comes from IVRA_WIN64_SDK or ../shared/win64-sdk/ (see windows-env.sh).
# Usage: bash scripts/build-windows.sh [CMAKE ARGUMENTS]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/windows-env.sh
bash scripts/install-deps.sh windows
find_windows_sdk || { echo "build-windows: $windows_skip" >&2; exit 1; }
build=${IVRA_WINDOWS_BUILD:-build-windows}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$win64_sdk/share/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_PREFIX_PATH="$win64_sdk" -DIVRA_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
echo "build-windows: $build/dist holds IvraLauncher.exe and ivra-update.exe with what they need"
