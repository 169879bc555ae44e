#!/usr/bin/env bash
# Runs one test executable in a home of its own, so that tests never touch the
# real user's files and can run in parallel.
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/ivra-test.XXXXXX")
mkdir -p "$root/home" "$root/data" "$root/config" "$root/cache" "$root/runtime" "$root/tmp"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config" \
  XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" TMPDIR="$root/tmp"
"$@"
rc=$?
chmod -R u+rwX "$root" 2>/dev/null
rm -rf "$root"
exit $rc
