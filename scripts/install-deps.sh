#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demo use.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libzip-dev libssl-dev libzstd-dev zlib1g-dev
  nginx-light openssl ca-certificates curl
  xvfb xauth x11-apps xdotool imagemagick fonts-roboto-unhinted
  binutils-mingw-w64-x86-64
  zip unzip zstd python3 minisign desktop-file-utils tinyproxy
  clang-14 libclang-rt-14-dev
  rclone
)
# The local S3-compatible server the push is tested against, from the npm
# registry (Debian has none), below .run/tools; npm comes from Debian when
# this machine has no Node.js of its own.
s3rver_version=3.7.1
tools="$(cd "$(dirname "$0")/.." && pwd)/.run/tools"
command -v npm >/dev/null 2>&1 || packages+=(npm)
# `install-deps.sh windows`: what the Windows cross build and its tests under
# Wine add (the Qt host tools above must be the SDK's Qt version, 6.4.2).
mode=${1:-}
if [ "$mode" = windows ]; then
  packages=(cmake ninja-build qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix
    mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine wine64 python3-pefile icoutils xvfb
    xauth imagemagick)
fi
install_s3rver() {
  [ "${mode:-}" = windows ] || [ -x "$tools/node_modules/.bin/s3rver" ] && return 0
  echo "install-deps: installing s3rver $s3rver_version from the npm registry into $tools"
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --loglevel=error "s3rver@$s3rver_version" >/dev/null
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  install_s3rver
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo "$0" "$@"
  fi
  echo "install-deps: missing packages (${missing[*]}) and not root; run as root" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
install_s3rver
