#!/usr/bin/env bash
# `cmake --install` into a fresh prefix: the launcher, ivra-update and the release tool in
# bin/, a valid desktop entry naming the installed launcher, the icon in the
# freedesktop location; and the installed launcher starts on its own.
# Usage: install-check.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/ivra-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix/usr" >/dev/null || fail "cmake --install failed"
for file in bin/IvraLauncher bin/ivra-update bin/ivra-release share/applications/ivra-gateway.desktop \
            share/icons/hicolor/256x256/apps/ivra-gateway.png; do
  [ -e "$prefix/usr/$file" ] || fail "$file not installed"
done
entry="$prefix/usr/share/applications/ivra-gateway.desktop"
desktop-file-validate "$entry" || fail "desktop entry not valid"
grep -qx "Exec=$prefix/usr/bin/IvraLauncher" "$entry" || fail "Exec does not name the installed launcher"
# Read in full before matching: grep -q stops early and the writer would die of SIGPIPE.
help=$("$prefix/usr/bin/ivra-release" --help)
grep -q "Examples:" <<<"$help" || fail "installed release tool"
version=$("$prefix/usr/bin/ivra-update" --version)
grep -q "^ivra-update 2026.1024.1" <<<"$version" || fail "installed ivra-update"

# The installed launcher runs from anywhere, with nothing of the build beside it.
home="$prefix/home"; mkdir -p "$home"
(cd / && HOME="$home" XDG_DATA_HOME="$home/data" QT_QPA_PLATFORM=offscreen \
  timeout 3 "$prefix/usr/bin/IvraLauncher" >/dev/null 2>&1)
[ $? -eq 124 ] || fail "the installed launcher did not keep running"
log=$(ls "$home/data/IVRA Labs/IvraLauncher/logs/"*.log 2>/dev/null | head -1)
grep -q "IVRA Launcher started." "$log" 2>/dev/null || fail "the installed launcher wrote no log"
grep -q "Requesting Gateway manifest" "$log" 2>/dev/null || fail "the installed launcher ran no pass"

[ "$failures" -eq 0 ] && echo "install: all checks passed"
[ "$failures" -eq 0 ]
