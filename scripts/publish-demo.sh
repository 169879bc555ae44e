#!/usr/bin/env bash
# Publishes the demo client VERSION (default 1.0.0) and the current Gateway
# into a release tree with the release tool. Usage:
#   scripts/publish-demo.sh BUILD_DIR TREE [VERSION] [GATEWAY_VERSION]
# With IVRA_SIGNING_KEY (a secret key file) both manifests are signed, and with
# IVRA_SIGNING_PUBLIC_KEY the check verifies the signatures too. IVRA_DEMO_ROLLOUT
# adds rollout options to the client, such as "--rollout 50". IVRA_DEMO_LAUNCHER_FOLDER
# (a folder holding IvraLauncher and ivra-update) is published as the Gateway's
# package for this platform, beside the installer; IVRA_DEMO_GATEWAY_MINIMUM sets its
# minimum (default 2026.1024.0).
set -euo pipefail
build=$1 tree=$2 version=${3:-1.0.0} gateway=${4:-2026.1024.1}
base=${IVRA_RELEASE_BASE_URL:-https://127.0.0.1:${IVRA_RELEASE_PORT:-8443}}
signing=() checking=() guards=()
[ -n "${IVRA_SIGNING_KEY:-}" ] && signing=(--secret-key "$IVRA_SIGNING_KEY")
[ -n "${IVRA_SIGNING_PUBLIC_KEY:-}" ] && checking=(--public-key "$IVRA_SIGNING_PUBLIC_KEY")
# IVRA_DEMO_ALLOW_DOWNGRADE=1: publishing an older version (or Gateway) is a rollback on purpose.
[ "${IVRA_DEMO_ALLOW_DOWNGRADE:-0}" = 1 ] && guards=(--allow-downgrade)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/client/bin"
cp "$build/ivra-demo-client" "$work/client/bin/ivra-demo-client"
echo "IVRA demo client $version" > "$work/client/VERSION.txt"
# IVRA_DEMO_PAYLOAD_MB adds that many MiB of incompressible data, for a package
# that takes a while. The same bytes in every version, as a large unchanged
# asset would be, so an update fetches only what changed.
if [ "${IVRA_DEMO_PAYLOAD_MB:-0}" -gt 0 ]; then
  mkdir -p "$work/client/data"
  # openssl stops on SIGPIPE once head has its bytes: not a failure.
  { openssl enc -aes-128-ctr -nosalt -pass pass:ivra-demo-payload -pbkdf2 < /dev/zero 2>/dev/null || true; } |
    head -c "$((IVRA_DEMO_PAYLOAD_MB << 20))" > "$work/client/data/payload.bin"
fi
"$build/ivra-release" client --tree "$tree" --base-url "$base" --product ivra-demo --channel stable \
  --version "$version" --minimum 1.0.0 --exe bin/ivra-demo-client \
  --arg "--demo" --arg "version $version" --from-folder "$work/client" "${signing[@]}" "${guards[@]}" \
  ${IVRA_DEMO_ROLLOUT:-}

# The demo Gateway "installer" only records that it was started with /SP-.
printf '#!/bin/sh\necho "installer started: $*" > "$0.started.txt"\n' > "$work/setup.sh"
upgrade=(--upgrade-url "https://ivra.example/full" --full-version "${IVRA_DEMO_FULL_VERSION:-3.1.0}")
[ "${IVRA_DEMO_UPGRADE:-1}" = 0 ] && upgrade=()
package=()
[ -n "${IVRA_DEMO_LAUNCHER_FOLDER:-}" ] && package=(--from-folder "$IVRA_DEMO_LAUNCHER_FOLDER")
"$build/ivra-release" gateway --tree "$tree" --base-url "$base" --edition demo --channel stable \
  --version "$gateway" --minimum "${IVRA_DEMO_GATEWAY_MINIMUM:-2026.1024.0}" --installer "$work/setup.sh" "${package[@]}" "${upgrade[@]}" "${signing[@]}" \
  "${guards[@]}"
"$build/ivra-release" check --tree "$tree" --base-url "$base" "${checking[@]}"
