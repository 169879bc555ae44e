#!/usr/bin/env bash
# End-to-end runs of the real IvraLauncher against nginx over HTTPS, driven as
# a user would (xdotool clicks on a virtual display) and judged only by what a
# user or operator sees: screenshots, the log, the state file, the install
# folders, nginx's access log and what the started client or installer wrote.
# Usage: e2e.sh BUILD_DIR   (run under xvfb-run; needs root for the service)
set -uo pipefail
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: the release service needs root"; exit 77; fi
build=$(realpath "$1")
project=$(realpath "$(dirname "$0")/../..")
service="$project/scripts/release-service.sh"
access="$project/.run/release-service/access.log"
work=$(mktemp -d "${TMPDIR:-/tmp}/ivra-e2e.XXXXXX")
tree="$work/tree"
failures=0 passes=0
trap '"$service" stop >/dev/null 2>&1; "$service" s3 stop >/dev/null 2>&1; rm -rf "$work"' EXIT

fail() { echo "FAIL: $scenario: $*"; failures=$((failures + 1)); }
check() { if eval "$1"; then :; else fail "$2"; fi; }
new_home() { export XDG_DATA_HOME="$work/home-$1"; mkdir -p "$XDG_DATA_HOME"; data="$XDG_DATA_HOME/Ivra Engine"; }
logfile() { ls "$XDG_DATA_HOME/IVRA Labs/IvraLauncher/logs/"*.log 2>/dev/null | head -1; }
wait_for() { # condition, seconds
  local i; for i in $(seq $(( $2 * 10 ))); do eval "$1" && return 0; sleep 0.1; done; return 1; }
# The scenarios go back to earlier releases on purpose.
publish() { IVRA_DEMO_UPGRADE=${upgrade:-1} IVRA_DEMO_ALLOW_DOWNGRADE=1 "$project/scripts/publish-demo.sh" "$build" "$tree" "$@" >/dev/null; }

start_launcher() {
  "${launcher:-$build/IvraLauncher}" >/dev/null 2>&1 & pid=$!
  wait_for 'wid=$(xdotool search --onlyvisible --name "IVRA ENGINE 2.0 Beta" 2>/dev/null | head -1); [ -n "$wid" ]' 10 ||
    { fail "no window"; return 1; }
  eval "$(xdotool getwindowgeometry --shell "$wid")"
}
ready() { grep -qE "client manifest received|client zip downloaded" "$(logfile)" 2>/dev/null && sleep 1; }
click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; }
shot() { import -window root "$work/$1.png"; }
# Whether a strip of the window holds text: pixels darker than the background.
has_ink() { # name x y w h
  local dark; dark=$(convert "$work/$1.png" -crop "${4}x${5}+$((X + $2))+$((Y + $3))" -colorspace Gray \
    -threshold 50% -format "%[fx:(1-mean)*w*h]" info:)
  [ "${dark%.*}" -gt 20 ]; }
stop_launcher() { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
finished() { if [ "$failures" -eq "$1" ]; then passes=$((passes + 1)); echo "PASS: $scenario"; fi; }

"$service" start "$tree" >/dev/null || { echo "release service did not start"; exit 1; }
publish 1.0.0
scenario="the served tree passes the release tool's check"; before=$failures
served=$("$build/ivra-release" check --base-url https://127.0.0.1:8443 2>&1); rc=$?
check '[ "$rc" -eq 0 ]' "served check failed: $served"
# What it checked is named by URL, not by the temporary copy it read.
check 'echo "$served" | grep -q "artifact https://127.0.0.1:8443/releases/clients/" && ! echo "$served" | grep -q "ivra-release-"' "served check names: $served"
finished $before

scenario="fresh install, then Launch"; before=$failures; new_home a
start_launcher && wait_for ready 20 || fail "never ready"
shot ready-with-offer
click 50 248
wait_for '! kill -0 $pid 2>/dev/null' 10 || { fail "launcher did not quit"; stop_launcher; }
record="$data/clients/ivra-demo/1.0.0/bin/ivra-demo-client.started.json"
wait_for "[ -s '$record' ]" 10 || fail "client not started"
check 'grep -q "\"version 1.0.0\"" "$record" && grep -q "\"--demo\"" "$record"' "client arguments"
check 'grep -q "\"workingDirectory\": \"$data/clients/ivra-demo/1.0.0/bin\"" "$record"' "working directory"
check 'grep -q "\"activeVersion\": \"1.0.0\"" "$data/gateway-state.json"' "state records 1.0.0"
check 'grep -qE "Installed client 1.0.0 in [0-9]+ ms: [0-9]+ bytes written, full package, [0-9]+ (entry|entries) extracted as it arrived$" "$(logfile)"' "no install line in the log"
finished $before

scenario="second start, up to date"; before=$failures
state_before=$(sha256sum "$data/gateway-state.json"); lines_before=$(wc -l < "$access")
start_launcher && wait_for ready 20 || fail "never ready"
stop_launcher
check '! tail -n +$((lines_before + 1)) "$access" | grep -q "/releases/clients/"' "package requested again"
check '[ "$(sha256sum "$data/gateway-state.json")" = "$state_before" ]' "state file changed"
finished $before

scenario="new client versions: only what changed is fetched, previous kept, older pruned"; before=$failures
for version in 1.1.0 1.2.0; do
  publish "$version"
  : > "$(logfile)"; lines_before=$(wc -l < "$access")
  start_launcher && wait_for 'grep -q "\"activeVersion\": \"$version\"" "$data/gateway-state.json"' 20 ||
    fail "$version not installed"
  sleep 1; stop_launcher
  # Only VERSION.txt changes between demo releases: the rest is reused.
  check 'grep -q "Differential update to $version: [0-9]* files\? reused, [0-9]* bytes\? fetched" "$(logfile)"' \
    "$version: no differential update: $(grep -m1 "Differential\|zip" "$(logfile)")"
  check '! tail -n +$((lines_before + 1)) "$access" | grep -q "GET /releases/clients/ivra-demo/ivra-demo_$version.zip"' \
    "$version: the whole package was fetched"
  echo "  $version: $(grep -o "Differential update to $version: [0-9]* files\? reused, [0-9]* bytes\? fetched" "$(logfile)")"
done
check '[ "$(ls "$data/clients/ivra-demo" | tr "\n" " ")" = "1.1.0 1.1.0.record 1.2.0 1.2.0.record " ]' "folders: $(ls "$data/clients/ivra-demo" | tr '\n' ' ')"
check 'grep -q "\"activeVersion\": \"1.2.0\"" "$data/gateway-state.json" && grep -q "\"previousVersion\": \"1.1.0\"" "$data/gateway-state.json"' "state 1.2.0 after 1.1.0"
finished $before

scenario="ivra-update --rollback: the previous version repaired and made active, updates held until undone"; before=$failures
printf 'X' | dd of="$data/clients/ivra-demo/1.1.0/VERSION.txt" bs=1 seek=3 conv=notrunc status=none
out=$(DISPLAY= "$build/ivra-update" --rollback --json 2>"$work/stderr"); rc=$?
check '[ "$rc" -eq 0 ] && [ "$out" = "{\"exitCode\":0,\"installedAfter\":\"1.1.0\",\"installedBefore\":\"1.2.0\",\"latest\":null,\"reason\":\"rolled-back\",\"result\":\"ready\"}" ]' "rollback: exit $rc: $out"
check 'grep -qx "[0-9]* files checked, 1 damaged, 1 repaired." "$work/stderr" && grep -q "IVRA demo client 1.1.0" "$data/clients/ivra-demo/1.1.0/VERSION.txt"' "not repaired: $(cat "$work/stderr")"
check 'grep -q "\"rolledBackFrom\": \"1.2.0\"" "$data/gateway-state.json"' "hold not recorded"
out=$(DISPLAY= "$build/ivra-update" 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "Nothing changed: IVRA was rolled back to 1.1.0; optional updates are held back until the rollback is undone."' "held: exit $rc: $out"
out=$(DISPLAY= "$build/ivra-update" --undo-rollback 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "Client versions: installed before 1.1.0, latest 1.2.0, installed now 1.2.0."' "undo: exit $rc: $out"
check '! grep -q rolledBackFrom "$data/gateway-state.json"' "hold kept after undo"
finished $before

scenario="ivra-update installs with no window, then finds the client up to date"; before=$failures
new_home updater; lines_before=$(wc -l < "$access")
# With the order of its syncs and renames recorded: the install reaches the
# disk (syncfs) after the version folder is promoted and before the state names it.
trace="$work/sync-trace.txt"
out=$(DISPLAY= LD_PRELOAD="$build/libivra_synctrace.so" IVRA_SYNC_TRACE="$trace" \
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0" "$build/ivra-update" 2>&1); rc=$?
promoted=$(grep -n "^rename .*/\.staging-1\.2\.0 -> .*/clients/ivra-demo/1\.2\.0$" "$trace" | head -1 | cut -d: -f1)
synced=$(awk -v after="${promoted:-0}" 'NR > after && /^syncfs/ {print NR; exit}' "$trace")
recorded=$(grep -n "gateway-state.json$" "$trace" | grep -v "^[0-9]*:fsync" | tail -1 | cut -d: -f1)
check '[ -n "$promoted" ] && [ -n "$synced" ] && [ -n "$recorded" ] && [ "$synced" -lt "$recorded" ]' \
  "sync order: promoted at ${promoted:-?}, synced at ${synced:-?}, recorded at ${recorded:-?}: $(cat "$trace")"
check '[ "$rc" -eq 0 ]' "exit $rc: $out"
check 'echo "$out" | grep -qx "Installing IVRA..." && echo "$out" | grep -qx "IVRA ENGINE 2.0 Beta is ready." && echo "$out" | tail -1 | grep -qx "Client versions: installed before none, latest 1.2.0, installed now 1.2.0."' "steps: $out"
check '[ -x "$data/clients/ivra-demo/1.2.0/bin/ivra-demo-client" ]' "client not installed"
check '[ "$(tail -n +$((lines_before + 1)) "$access" | grep -c "GET /releases/clients/ivra-demo/ivra-demo_1.2.0.zip")" -eq 1 ]' "package not fetched once"
lines_before=$(wc -l < "$access")
out=$(DISPLAY= "$build/ivra-update" 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && [ "$(echo "$out" | tail -1)" = "Nothing changed: IVRA 1.2.0 is up to date." ]' "second run: exit $rc: $out"
check '! tail -n +$((lines_before + 1)) "$access" | grep -q "/releases/clients/"' "second run fetched an artifact"
out=$(DISPLAY= "$build/ivra-update" --limit-rate fast 2>&1); rc=$?
check '[ "$rc" -eq 2 ] && echo "$out" | grep -q "Invalid rate: fast"' "bad rate: exit $rc: $out"
out=$(DISPLAY= "$build/ivra-update" --limit-rate 20 2>&1); rc=$?
check '[ "$rc" -eq 2 ] && echo "$out" | grep -q "below 64 KB/s are not accepted"' "tiny rate: exit $rc: $out"
finished $before

scenario="release service down: the installed client plays offline, from ivra-update and the window"; before=$failures
"$service" stop >/dev/null
rm -f "$data/clients/ivra-demo/1.2.0/bin/ivra-demo-client.started.json"
out=$("$build/ivra-update" --launch 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "Playing offline: the release service could not be reached."' "ivra-update --launch offline: exit $rc: $out"
check 'wait_for "[ -s \"$data/clients/ivra-demo/1.2.0/bin/ivra-demo-client.started.json\" ]" 10' "client not started offline"
# Its window must not cover the launchers of the scenarios that follow.
client="$data/clients/ivra-demo/1.2.0/bin/ivra-demo-client"
pkill -9 -f "$client" 2>/dev/null
wait_for '! pgrep -f "$client" >/dev/null' 10 || fail "the client started offline did not stop"
start_launcher && wait_for '[ "$(grep -c "Playing offline" "$(logfile)")" -eq 2 ]' 20 || fail "window: no offline play logged"
sleep 0.5; shot offline
check 'has_ink offline 12 240 70 16' "no button where Launch goes"
stop_launcher
"$service" start "$tree" >/dev/null
finished $before

scenario="ivra-update --verify repairs a flipped byte (from its object) and a deleted client (from the package)"; before=$failures
new_home updater; folder="$data/clients/ivra-demo/1.2.0"
printf 'X' | dd of="$folder/VERSION.txt" bs=1 seek=3 conv=notrunc status=none
lines_before=$(wc -l < "$access")
out=$(DISPLAY= "$build/ivra-update" --verify 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "[0-9]* files checked, 1 damaged, 1 repaired."' "exit $rc: $out"
check 'grep -q "IVRA demo client 1.2.0" "$folder/VERSION.txt"' "not repaired"
check '! tail -n +$((lines_before + 1)) "$access" | grep -q "GET /releases/clients/ivra-demo/ivra-demo_1.2.0.zip"' "the package was fetched"
rm "$folder/bin/ivra-demo-client"   # most of the package: the package is cheaper to fetch
out=$(DISPLAY= "$build/ivra-update" --verify 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "[0-9]* files checked, 1 damaged, 1 repaired." && [ -x "$folder/bin/ivra-demo-client" ]' \
  "client not repaired: exit $rc: $out"
out=$(DISPLAY= "$build/ivra-update" --verify 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "[0-9]* files checked, 0 damaged, 0 repaired."' "third verify: exit $rc: $out"
# A record lost (a power cut): the release's file index says what the version holds.
rm "$data/clients/ivra-demo/1.2.0.record"; printf 'X' | dd of="$folder/VERSION.txt" bs=1 seek=3 conv=notrunc status=none
out=$(DISPLAY= "$build/ivra-update" --verify 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -qx "[0-9]* files checked, 1 damaged, 1 repaired." && [ -s "$data/clients/ivra-demo/1.2.0.record" ]' \
  "no record: exit $rc: $out"
check 'grep -q "IVRA demo client 1.2.0" "$folder/VERSION.txt"' "not repaired without a record"
finished $before

scenario="two launchers started together: one pass, one set of downloads"; before=$failures
new_home twins; lines_before=$(wc -l < "$access")
"$build/IvraLauncher" >/dev/null 2>&1 & twin1=$!
"$build/IvraLauncher" >/dev/null 2>&1 & twin2=$!
wait_for '! kill -0 $twin1 2>/dev/null || ! kill -0 $twin2 2>/dev/null' 10 || fail "both still run"
wait_for 'grep -q "client zip downloaded" "$(logfile)"' 20 || fail "never installed"
sleep 1
check '[ "$(grep -c "IVRA Launcher started." "$(logfile)")" -eq 2 ]' "not two starts"
check '[ "$(grep -c "Requesting Gateway manifest" "$(logfile)")" -eq 1 ]' "$(grep -c "Requesting Gateway manifest" "$(logfile)") passes"
check 'grep -q "The launcher already running came to the front." "$(logfile)"' "no hand-over logged"
check '[ "$(tail -n +$((lines_before + 1)) "$access" | grep -c "GET /releases/clients/")" -eq 1 ]' "downloads: $(tail -n +$((lines_before + 1)) "$access" | grep -c "GET /releases/clients/")"
if kill -0 $twin1 2>/dev/null; then pid=$twin1; else pid=$twin2; fi
# A launcher that cannot answer (stopped here) is named by the one started after it.
kill -STOP $pid
"$build/IvraLauncher" >/dev/null 2>&1 & third=$!
wait_for 'box=$(xdotool search --onlyvisible --pid $third 2>/dev/null | head -1); [ -n "$box" ]' 20 || fail "no message shown"
sleep 0.5; shot already-running
check 'grep -q "warning IVRA Gateway is already running." "$(logfile)"' "message not logged"
[ -n "${box:-}" ] && xdotool key --window "$box" Return
# The box closes on the key press; xdotool then fails on its release, and a
# key left down repeats into the windows of later scenarios.
xdotool keyup Return 2>/dev/null
wait_for '! kill -0 $third 2>/dev/null' 10 || { fail "the third launcher did not exit"; kill $third; }
# ivra-update --json on a data folder a launcher holds: one summary line all the same.
out=$(DISPLAY= "$build/ivra-update" --json 2>/dev/null); rc=$?
check '[ "$rc" -eq 1 ] && echo "$out" | grep -q "\"result\":\"busy\""' "busy: exit $rc: $out"
kill -CONT $pid; stop_launcher
# Whatever this scenario left running would cover the windows of the next ones.
kill $twin1 $twin2 2>/dev/null; wait $twin1 $twin2 2>/dev/null
finished $before

scenario="upgrade offer: Remember hides it, also after a restart"; before=$failures; new_home b
start_launcher && wait_for ready 20 || fail "never ready"
shot offer-shown
check 'has_ink offer-shown 8 208 160 16' "offer line not shown"
click 225 248   # Remember
sleep 1; shot offer-remembered
check '! has_ink offer-remembered 8 208 160 16' "offer still shown after Remember"
check 'grep -q "\"demo\": \"3\"" "$data/gateway-state.json"' "dismissal not saved"
stop_launcher
start_launcher && wait_for ready 20 || fail "never ready after restart"
shot offer-after-restart
check '! has_ink offer-after-restart 8 208 160 16' "offer back after restart"
check 'has_ink offer-after-restart 12 240 70 16' "Launch button missing"
stop_launcher
finished $before

scenario="speed limit from Options, Pause, and a closed launcher's download resumed by the next start"; before=$failures
# home b is ready with one version: Options holds Verify files, then the speed limit.
start_launcher && wait_for ready 20 || fail "never ready"
click 320 248; sleep 0.5; click 330 294; sleep 1   # Options, Download speed limit...
click 200 90; xdotool key ctrl+a; xdotool type 0.064; xdotool key Return   # focus follows the pointer here
wait_for 'grep -q "\"downloadLimitBytesPerSecond\": 64000" "$data/gateway-settings.json"' 5 || fail "limit not kept: $(cat "$data/gateway-settings.json" 2>&1)"
stop_launcher; settings="$data/gateway-settings.json"
new_home paused; mkdir -p "$data"; cp "$settings" "$data/"
start_launcher && wait_for 'grep -q "Download speed limit: 64.0 KB/s" "$(logfile)"' 10 || fail "limit not applied"
sleep 2; click 50 248   # Pause
wait_for 'grep -q "Download paused" "$(logfile)"' 5 || fail "not paused"
sleep 0.5; shot paused
check 'has_ink paused 8 102 300 16' "no download details while paused"
stop_launcher; lines_before=$(wc -l < "$access")
start_launcher && wait_for 'grep -q "\"activeVersion\": \"1.2.0\"" "$data/gateway-state.json"' 40 || fail "not installed after the restart"
check 'grep -q "Resuming client zip from byte [1-9]" "$(logfile)"' "the next start did not resume"
check 'tail -n +$((lines_before + 1)) "$access" | grep "GET /releases/clients/ivra-demo/ivra-demo_1.2.0.zip" | grep -q "\" 206 "' "no range request"
stop_launcher
finished $before

scenario="release service stopped, then Retry"; before=$failures; new_home c
"$service" stop >/dev/null
start_launcher && wait_for 'grep -q "gateway manifest failed after" "$(logfile)"' 20 || fail "no failure logged"
sleep 0.5; shot service-down
check 'grep -q "networkError=1, message=Connection refused" "$(logfile)"' "refused connection not logged"
check 'has_ink service-down 12 240 70 16' "Retry button missing"
"$service" start "$tree" >/dev/null
click 50 248    # Retry
wait_for 'grep -q "client zip downloaded" "$(logfile)"' 20 || fail "Retry did not install"
sleep 1; shot after-retry
check '[ -x "$data/clients/ivra-demo/1.2.0/bin/ivra-demo-client" ]' "client not installed after Retry"
stop_launcher
finished $before

scenario="TLS failures: unknown CA, wrong host name, expired certificate"; before=$failures
certs="$work/certs" ca="$project/.run/release-service"; mkdir -p "$certs"
make_cert() { # name issuer-certificate issuer-key subjectAltName days
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$certs/$1.key" -out "$certs/$1.csr" 2>/dev/null
  printf 'subjectAltName=%s\n' "$4" > "$certs/$1.ext"
  openssl x509 -req -in "$certs/$1.csr" -CA "$2" -CAkey "$3" -CAcreateserial -CAserial "$certs/serial" \
    -days "$5" -extfile "$certs/$1.ext" -out "$certs/$1.crt" 2>/dev/null; }
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Unknown CA" \
  -keyout "$certs/other-ca.key" -out "$certs/other-ca.crt" 2>/dev/null
make_cert unknown-ca "$certs/other-ca.crt" "$certs/other-ca.key" IP:127.0.0.1 30
make_cert wrong-host "$ca/ca.crt" "$ca/ca.key" DNS:releases.example.com 30
make_cert expired "$ca/ca.crt" "$ca/ca.key" IP:127.0.0.1 -1   # ends before it begins
for kind in unknown-ca wrong-host expired; do
  IVRA_RELEASE_CERT="$certs/$kind.crt" IVRA_RELEASE_KEY="$certs/$kind.key" "$service" start "$tree" >/dev/null
  new_home "tls-$kind"
  start_launcher && wait_for 'grep -q "gateway manifest failed after" "$(logfile)"' 20 || fail "$kind: no failure logged"
  sleep 0.5; shot "tls-$kind"
  check 'grep -q "networkError=6, message=SSL handshake failed" "$(logfile)"' \
    "$kind: not refused in the handshake: $(grep -o 'networkError=.*' "$(logfile)" | head -1)"
  check 'has_ink "tls-$kind" 12 240 70 16' "$kind: Retry button missing"
  check '[ ! -e "$data/downloads" ] && [ ! -e "$data/clients" ]' "$kind: something was downloaded"
  echo "  $kind: $(grep -o 'message=.*' "$(logfile)" | head -1)"
  stop_launcher
done
"$service" start "$tree" >/dev/null
finished $before

scenario="log folder cannot be created: the log goes to its base folder, the pass ends ready"; before=$failures
new_home logless; base="$XDG_DATA_HOME/IVRA Labs/IvraLauncher"
mkdir -p "$base"; : > "$base/logs"   # a file where the folder would be
start_launcher && wait_for 'grep -qs "client zip downloaded" "$base"/*.log' 20 || fail "no log in $base"
sleep 1
check '[ -x "$data/clients/ivra-demo/1.2.0/bin/ivra-demo-client" ]' "client not installed"
stop_launcher
finished $before

scenario="newer Gateway published: installer verified, started with /SP-, launcher quits"; before=$failures
publish 1.2.0 2026.1030.0
# The window may be gone before anyone could look at it: judge by the process and the files.
"$build/IvraLauncher" >/dev/null 2>&1 & pid=$!
wait_for '! kill -0 $pid 2>/dev/null' 20 || { fail "launcher did not quit"; stop_launcher; }
installer="$data/downloads/gateway/IvraGateway_demo_2026.1030.0_Setup.exe"
wait_for "[ -s '$installer.started.txt' ]" 10 || fail "installer not started"
check 'grep -qx "installer started: /SP-" "$installer.started.txt"' "installer arguments"
check 'grep -q "GET /releases/gateway/IvraGateway_demo_2026.1030.0_Setup.exe" "$access"' "installer not fetched"
rm -f "$installer.started.txt"
out=$(DISPLAY= "$build/ivra-update" --json 2>/dev/null); rc=$?
check '[ "$rc" -eq 3 ] && echo "$out" | grep -q "\"result\":\"installer-started\"" && [ -s "$installer.started.txt" ]' "ivra-update: exit $rc: $out"
finished $before

scenario="signed releases: the signed launcher installs them and refuses a changed manifest"; before=$failures
keys="$project/tests/keys"
IVRA_SIGNING_KEY="$keys/ivra-test-a.key" IVRA_SIGNING_PUBLIC_KEY="$keys/ivra-test-a.pub" publish 1.3.0
check '"$build/ivra-release" check --base-url https://127.0.0.1:8443 --public-key "$keys/ivra-test-a.pub" >/dev/null' \
  "served signed check failed"
check '! "$build/ivra-release" check --base-url https://127.0.0.1:8443 --public-key "$keys/ivra-test-b.pub" >/dev/null 2>&1' \
  "served check passed with another key"
new_home signed; launcher="$build/ivra_launcher_signed"
start_launcher && wait_for 'grep -q "client zip downloaded" "$(logfile)"' 20 || fail "never downloaded"
sleep 1; shot signed-ready; stop_launcher
check '[ -x "$data/clients/ivra-demo/1.3.0/bin/ivra-demo-client" ]' "1.3.0 not installed"
check 'grep -q "client manifest signature verified: client-ivra-demo.json" "$(logfile)"' "no verification logged"
check 'grep -A1 "\"client-ivra-demo.json\": {" "$data/gateway-state.json" | grep -q "\"[0-9A-F]\{16\}\": [0-9]"' "timestamp not remembered under its key"
new_home signed-updater
out=$(DISPLAY= "$build/ivra_update_signed" 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && [ -x "$data/clients/ivra-demo/1.3.0/bin/ivra-demo-client" ]' "signed ivra-update: exit $rc: $out"
new_home signed
# A host that changes a signed manifest (here: points it at 1.4.0) is refused before any download.
manifest="$tree/releases/manifests/client-ivra-demo.json"
sed -i 's/"latestVersion": "1.3.0"/"latestVersion": "1.4.0"/' "$manifest"
lines_before=$(wc -l < "$access"); : > "$(logfile)"
start_launcher && wait_for 'grep -q "client manifest signature refused" "$(logfile)"' 20 || fail "changed manifest not refused"
sleep 0.5; shot signed-refused; stop_launcher
check 'grep -q "Pass ended: Release data signature is not valid. (Retry offered)" "$(logfile)"' "refusal not logged"
check '! tail -n +$((lines_before + 1)) "$access" | grep -q "/releases/clients/"' "something was downloaded"
check '[ ! -e "$data/clients/ivra-demo/1.4.0" ]' "1.4.0 appeared"
new_home signed-updater-refused
DISPLAY= "$build/ivra_update_signed" >/dev/null 2>"$work/stderr"; rc=$?; err=$(cat "$work/stderr")
check '[ "$rc" -eq 1 ] && [ "$err" = "Release data signature is not valid." ]' "tampered: exit $rc, stderr $err"
check '[ ! -e "$data/clients" ]' "ivra-update installed from a tampered manifest"
unset launcher
finished $before

scenario="behind a proxy: the release service is reached only through tinyproxy"; before=$failures
# "ivrarelease" resolves only inside the proxy (its own /etc/hosts, in a mount
# namespace of its own), so a direct connection cannot work.
make_cert proxied "$ca/ca.crt" "$ca/ca.key" DNS:ivrarelease 30
proxied_tree="$work/tree-proxied"
IVRA_RELEASE_BASE_URL=https://ivrarelease:8443 "$project/scripts/publish-demo.sh" "$build" "$proxied_tree" 1.0.0 >/dev/null
IVRA_RELEASE_CERT="$certs/proxied.crt" IVRA_RELEASE_KEY="$certs/proxied.key" "$service" start "$proxied_tree" >/dev/null
proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '127.0.0.1 localhost ivrarelease\n' > "$work/proxy-hosts"
printf 'Port %s\nListen 127.0.0.1\nTimeout 60\nLogFile "%s"\nLogLevel Connect\nMaxClients 20\nAllow 127.0.0.1\nConnectPort 8443\n' \
  "$proxy_port" "$work/tinyproxy.log" > "$work/tinyproxy.conf"
unshare -m sh -c 'mount --bind "$1" /etc/hosts && exec tinyproxy -d -c "$2"' _ \
  "$work/proxy-hosts" "$work/tinyproxy.conf" >/dev/null 2>&1 & proxy_pid=$!
wait_for '(exec 3<>"/dev/tcp/127.0.0.1/$proxy_port") 2>/dev/null' 10 || fail "tinyproxy did not start"
new_home proxied-direct; launcher="$build/ivra_launcher_proxied"
start_launcher && wait_for 'grep -q "gateway manifest failed after" "$(logfile)"' 20 || fail "reached without the proxy"
stop_launcher
new_home proxied
export https_proxy="http://127.0.0.1:$proxy_port"
start_launcher && wait_for 'grep -q "client zip downloaded" "$(logfile)"' 20 || fail "not installed through the proxy"
sleep 1; stop_launcher
unset https_proxy launcher
check 'grep -q "CONNECT ivrarelease:8443" "$work/tinyproxy.log"' "tinyproxy saw no CONNECT"
check '[ -x "$data/clients/ivra-demo/1.0.0/bin/ivra-demo-client" ]' "client not installed"
kill "$proxy_pid" 2>/dev/null; wait "$proxy_pid" 2>/dev/null
"$service" start "$tree" >/dev/null
finished $before

scenario="a redirect from https to http is refused and logged as such"; before=$failures
printf 'location = /releases/manifests/gateway-demo.json { return 302 http://127.0.0.1:9/releases/manifests/gateway-demo.json; }\n' \
  > "$work/redirect.conf"
IVRA_RELEASE_EXTRA_CONF="$work/redirect.conf" "$service" start "$tree" >/dev/null
new_home redirect
start_launcher && wait_for 'grep -q "gateway manifest failed after" "$(logfile)"' 20 || fail "no failure logged"
stop_launcher
check 'grep -q "gateway manifest redirect from https to http refused: https://127.0.0.1:8443/releases/manifests/gateway-demo.json?edition=demo -> http://127.0.0.1:9/" "$(logfile)"' \
  "redirect not named: $(grep -m1 'redirect\|failed after' "$(logfile)")"
check 'grep -q "Pass ended: Release service returned HTTP 302. (Retry offered)" "$(logfile)"' "message changed"
"$service" start "$tree" >/dev/null
finished $before

scenario="staged rollout: held back with the reason logged, then completed; rewrites signed"; before=$failures
keys="$project/tests/keys"; manifest="$tree/releases/manifests/client-ivra-demo.json"
IVRA_SIGNING_KEY="$keys/ivra-test-a.key" IVRA_DEMO_ROLLOUT="--rollout 0" publish 1.5.0
new_home signed   # 1.3.0 installed by the signed scenario
signed_update() { lines_before=$(wc -l < "$access"); : > "$(logfile)"
  DISPLAY= "$build/ivra_update_signed" >"$work/stdout" 2>"$work/stderr"; rc=$?; }
signed_update
check '[ "$rc" -eq 0 ] && grep -q "Update to 1.5.0 held back by the staged rollout (0 % reached, this install at " "$(logfile)"' \
  "not held back: exit $rc, $(cat "$work/stderr")"
check 'grep -qx "Nothing changed: the update to 1.5.0 is held back by the staged rollout (0 % reached)." "$work/stdout"' "no reason printed: $(cat "$work/stdout")"
check '! tail -n +$((lines_before + 1)) "$access" | grep -q "GET /releases/clients/"' "a held-back install fetched an artifact"
"$build/ivra-release" rollout --tree "$tree" --product ivra-demo --percent 0 --secret-key "$keys/ivra-test-a.key" >/dev/null
signed_update   # the rewritten, re-signed manifest is accepted (and holds back again)
check '[ "$rc" -eq 0 ] && grep -q "client manifest signature verified" "$(logfile)" && grep -q "held back" "$(logfile)"' \
  "rewritten manifest: exit $rc, $(cat "$work/stderr")"
"$build/ivra-release" rollout --tree "$tree" --product ivra-demo --complete --secret-key "$keys/ivra-test-a.key" >/dev/null
signed_update
check '[ "$rc" -eq 0 ] && grep -q "\"activeVersion\": \"1.5.0\"" "$data/gateway-state.json"' "not updated after --complete: $(cat "$work/stderr")"
sed -i 's/"percent": 100/"percent": 0/' "$manifest"   # rewritten without the key
signed_update
check '[ "$rc" -eq 1 ] && [ "$(cat "$work/stderr")" = "Release data signature is not valid." ]' "unsigned rewrite: exit $rc, $(cat "$work/stderr")"
finished $before

scenario="push to S3-compatible storage: a stopped push finished by the next, other bytes refused, then installed from it"; before=$failures
export IVRA_S3_DIR="$work/s3"   # an empty bucket of this run's own
"$service" s3 start >/dev/null || fail "no S3 server"
export RCLONE_CONFIG_IVRAS3_TYPE=s3 RCLONE_CONFIG_IVRAS3_PROVIDER=Other RCLONE_CONFIG_IVRAS3_ENDPOINT=http://127.0.0.1:9000 \
  RCLONE_CONFIG_IVRAS3_ACCESS_KEY_ID=S3RVER RCLONE_CONFIG_IVRAS3_SECRET_ACCESS_KEY=S3RVER
manifests_there() { AWS_CA_BUNDLE= rclone lsf ivras3:ivra/releases/manifests/ 2>/dev/null | grep -c 'json$'; }
# Stopped by rclone itself once 100 kB are sent (the uploads under way end
# first: s3rver, unlike S3, would keep a cut one): no manifest before its files.
out=$(RCLONE_MAX_TRANSFER=100k RCLONE_CUTOFF_MODE=soft "$build/ivra-release" push --tree "$tree" --to ivras3:ivra 2>&1); rc=$?
check '[ "$rc" -ne 0 ] && [ "$(manifests_there)" -eq 0 ]' "stopped push: exit $rc, $(manifests_there) manifests: $out"
out=$("$build/ivra-release" push --tree "$tree" --to ivras3:ivra 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -q "push: [1-9][0-9]* of [0-9]* artifacts already at ivras3:ivra" && [ "$(manifests_there)" -eq 2 ]' "second push: exit $rc: $out"
out=$("$build/ivra-release" push --tree "$tree" --to ivras3:ivra --dry-run 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -q "; 0 to upload (0 bytes), then 0 manifests and signatures"' "nothing left: exit $rc: $out"
other="$work/other-tree"; cp -a "$tree" "$other"
installer=$(ls "$other"/releases/gateway/*.exe | head -1); printf 'other bytes' >> "$installer"
out=$("$build/ivra-release" push --tree "$other" --to ivras3:ivra 2>&1); rc=$?
check '[ "$rc" -eq 1 ] && echo "$out" | grep -q "refused: ivras3:ivra/releases/gateway/.*holds other bytes" && echo "$out" | grep -q "nothing was pushed"' "other bytes: exit $rc: $out"
# Served from the bucket through nginx, as a CDN in front of it would.
"$service" start --s3 >/dev/null || fail "nginx in front of the bucket did not start"
out=$("$build/ivra-release" push --tree "$tree" --to ivras3:ivra --check --base-url https://127.0.0.1:8443 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -q "push ok, served tree checked"' "push --check: exit $rc: $out"
check 'curl -sI https://127.0.0.1:8443/releases/manifests/gateway-demo.json | grep -qi "^cache-control: no-cache"' "manifest caching"
check 'curl -sI "https://127.0.0.1:8443/${installer#$other/}" | grep -qi "^cache-control: public, max-age=31536000, immutable"' "artifact caching"
new_home s3
out=$(DISPLAY= "$build/ivra-update" 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -q "installed now [0-9]"' "install from the bucket: exit $rc: $out"
"$service" start "$tree" >/dev/null; "$service" s3 stop >/dev/null
finished $before

scenario="mirrors: main host down, the second serves a damaged package, the third installs; then stale and sticky hosts"; before=$failures
signed_publish() { IVRA_SIGNING_KEY="$keys/ivra-test-a.key" IVRA_SIGNING_PUBLIC_KEY="$keys/ivra-test-a.pub" tree="$1" publish "$2"; }
mirror_log() { tail -n +$(( ${1:-0} + 1 )) "$project/.run/release-service/${2:+host-$2/}access.log" 2>/dev/null; }
update_mirrored() { if [ -n "$(logfile)" ]; then : > "$(logfile)"; fi; out=$(DISPLAY= "$build/ivra_update_mirrored" 2>&1); rc=$?; }
old_tree="$work/mirror-old"; signed_publish "$old_tree" 1.3.0
cp -a "$old_tree" "$work/mirror-2"; cp -a "$old_tree" "$work/mirror-3"
package=$(ls "$work"/mirror-2/releases/clients/ivra-demo/*.zip)
printf 'damaged' | dd of="$package" bs=1 seek=4000 conv=notrunc 2>/dev/null
"$service" stop >/dev/null
"$service" start "$work/mirror-2" --host 2 >/dev/null && "$service" start "$work/mirror-3" --host 3 >/dev/null || fail "mirrors did not start"
new_home mirrors; update_mirrored
check '[ "$rc" -eq 0 ] && [ -x "$data/clients/ivra-demo/1.3.0/bin/ivra-demo-client" ]' "not installed from the third host: exit $rc: $out"
check 'grep -q "Release host https://127.0.0.1:8443 skipped: Connection refused" "$(logfile)"' "the down host's skip not logged"
check 'grep -q "Mirror https://127.0.0.1:8444 skipped: SHA-256 " "$(logfile)"' "the damaged package's skip not logged"
check 'grep -q "client zip served by https://127.0.0.1:8445" "$(logfile)"' "the serving host not logged"
out=$("$build/ivra-release" check --base-url https://127.0.0.1:8445 --public-key "$keys/ivra-test-a.pub" 2>&1); rc=$?
check '[ "$rc" -eq 0 ] && echo "$out" | grep -q "served by https://127.0.0.1:8445 as a mirror of https://127.0.0.1:8443"' "a mirror's served check: exit $rc: $out"
# The main host is back; the host that served the last pass is asked first.
"$service" start "$old_tree" --replace >/dev/null; main_lines=$(wc -l < "$access")
update_mirrored
check '[ "$rc" -eq 0 ] && [ -z "$(mirror_log "$main_lines")" ] && mirror_log 0 3 | grep -q "client-ivra-demo.json"' "not asked of the third host first: $out"
# A newer release accepted from the main host; a mirror still serving the older one is stale.
sleep 1; signed_publish "$work/mirror-new" 1.4.0
"$service" start "$work/mirror-new" --replace >/dev/null
new_home mirrors-stale; update_mirrored
check '[ "$rc" -eq 0 ] && [ -x "$data/clients/ivra-demo/1.4.0/bin/ivra-demo-client" ]' "1.4.0 not installed: $out"
"$service" stop --host 1 >/dev/null; "$service" stop --host 3 >/dev/null
cp -a "$old_tree/." "$work/mirror-2/"
"$service" start "$work/mirror-new" --host 3 >/dev/null
update_mirrored
check '[ "$rc" -eq 0 ] && grep -q "Mirror https://127.0.0.1:8444 skipped: timestamp [0-9]* is older than the accepted" "$(logfile)"' "stale mirror not skipped: exit $rc: $(cat "$(logfile)")"
check 'grep -q "Release host for this pass: https://127.0.0.1:8445" "$(logfile)" && grep -q "\"activeVersion\": \"1.4.0\"" "$data/gateway-state.json"' "not served by the third host"
# The main host takes connections and never answers, the only mirror is stale:
# the main host is waited for once, and the installed client plays offline.
"$service" stop --host 3 >/dev/null
python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 8443)); s.listen(64); time.sleep(120)' & silent=$!
sleep 0.5; update_mirrored; kill "$silent"; wait "$silent" 2>/dev/null
check 'echo "$out" | grep -q "Playing offline"' "no offline play: exit $rc: $out"
check '[ "$(grep -c "Release host https://127.0.0.1:8443 skipped" "$(logfile)")" -eq 1 ]' "the silent host was waited for more than once: $(cat "$(logfile)")"
"$service" stop >/dev/null; "$service" start "$tree" >/dev/null
finished $before

scenario="a second service on a taken port is refused by name"; before=$failures
out=$(IVRA_RELEASE_PORT=8443 bash -c 'cd "$1" && cp -r scripts "$2/" && "$2/scripts/release-service.sh" start "$3" 2>&1' _ "$project" "$work" "$tree")
check 'echo "$out" | grep -q "port 8443 on 127.0.0.1 is in use by another process"' "not refused: $out"
check '"$service" status >/dev/null' "the first service was disturbed"
finished $before

cp "$work"/*.png "$build/" 2>/dev/null
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
