#!/usr/bin/env bash
# A staged rollout on the demo's release service, as a publisher would run it.
# Needs what scripts/demo.sh set up (build-demo, the signing key, the running
# service with 1.0.0). Six installs of 1.0.0 (each its own data folder) meet
# 1.1.0 published to 50 % of installs: about half update, the others are held
# back and say why in their log; then the publisher pauses, resumes and
# completes the rollout, and every install updates. With no display the
# window of a held-back install is captured in .run/rollout-held-back.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-demo tree="$PWD/.run/release-tree" key="$PWD/.run/keys/release.key"
work="$PWD/.run/rollout-demo"
[ -x "$build/ivra-update" ] || cmake --build "$build" --target ivra-update >/dev/null
scripts/release-service.sh status >/dev/null || { echo "Run scripts/demo.sh first." >&2; exit 1; }
rm -rf "$work"; mkdir -p "$work"
installs="1 2 3 4 5 6"
update() { XDG_DATA_HOME="$work/home-$1" "$build/ivra-update" >/dev/null 2>&1; }
active() { sed -n 's/.*"activeVersion": "\(.*\)".*/\1/p' "$work/home-$1/Ivra Engine/gateway-state.json"; }
report() {
  for i in $installs; do
    update "$i" || true
    line=$(grep -ho "Update to .* held back by the staged rollout (.*)" "$work/home-$i/IVRA Labs/IvraLauncher/logs/"*.log 2>/dev/null | tail -1 || true)
    printf '  install %s: %s%s\n' "$i" "$(active "$i")" "${line:+   ($line)}"
    rm -f "$work/home-$i/IVRA Labs/IvraLauncher/logs/"*.log
  done
}

IVRA_SIGNING_KEY="$key" scripts/publish-demo.sh "$build" "$tree" 1.0.0 >/dev/null
for i in $installs; do update "$i"; done
echo "Six installs of 1.0.0. Publishing 1.1.0 to 50 % now and 100 % a day later:"
IVRA_SIGNING_KEY="$key" IVRA_DEMO_ROLLOUT="--rollout-schedule 0:50,24:100" \
  scripts/publish-demo.sh "$build" "$tree" 1.1.0 >/dev/null
report
held=
for i in $installs; do [ "$(active "$i")" = 1.0.0 ] && { held=$i; break; }; done
if [ -n "$held" ] && [ -z "${DISPLAY:-}" ]; then
  XDG_DATA_HOME="$work/home-$held" xvfb-run -a -s "-screen 0 800x500x24 -noreset" bash -c '
    ./'"$build"'/IvraLauncher & pid=$!; sleep 3; import -window root "$1"; kill $pid; wait $pid
    true' _ "$PWD/.run/rollout-held-back.png" 2>/dev/null
  rm -f "$work/home-$held/IVRA Labs/IvraLauncher/logs/"*.log
  echo "The window of held-back install $held: .run/rollout-held-back.png"
fi
rollout() { "$build/ivra-release" rollout --tree "$tree" --product ivra-demo --secret-key "$key" "$@"; }
echo "Pausing (the share stays at what it reached), then resuming:"
rollout --pause; rollout --resume
echo "Completing the rollout:"
rollout --complete
report
