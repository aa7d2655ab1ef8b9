#!/usr/bin/env bash
# The resident app on a Wayland desktop without XWayland (run it inside
# `with-wayland.sh --keyring`): signed in to a fresh dravelin-server, `dravelin`
# runs with no X display; `dravelin --toggle`, as a compositor shortcut would
# run it, starts and stops a dictation of a spoken file (the microphone), and
# the text lands in another application's Wayland text field through the
# compositor's virtual keyboard, first character included, while that field
# (named by the compositor's window list as the frontmost application)
# keeps the focus, the indicator floats on the overlay layer, and the user's
# clipboard comes back afterwards.
#   wayland-test.sh DRAVELIN DRAVELIN_CLI DRAVELIN_SERVER TEST_WINDOW
set -euo pipefail
app=$1
cli=$2
server=$3
test_window=$4
work=$(mktemp -d)
server_pid=
app_pid=
cleanup() {
    local status=$?
    [ "$status" -ne 0 ] && [ -f "$work/app.log" ] && tail -n 40 "$work/app.log" >&2
    [ -n "${KEEP_LOG:-}" ] && cp "$work/app.log" "$KEEP_LOG"
    kill $app_pid ${WINDOW_PID:-} $server_pid 2>/dev/null || true
    [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
# shellcheck source=../support/shell-helpers.sh
. "$(dirname "$0")/../support/shell-helpers.sh"
now_ms() { date +%s%3N; }
focused_app() {
    swaymsg -t get_tree | python3 -c '
import json, sys
def walk(node):
    if node.get("focused"):
        return node.get("app_id") or node.get("name")
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        found = walk(child)
        if found:
            return found
print(walk(json.load(sys.stdin)) or "")'
}

[ -z "${DISPLAY:-}" ] || fail "DISPLAY is set: this test needs a Wayland session without X"
start_local_server "$server" "$work/server"
"$cli" sign-in --consent-as ada@example.com >"$work/out" 2>&1 || fail "sign-in: $(cat "$work/out")"
espeak-ng -v en-us -s 150 -w "$work/speech.wav" "Hello world. This is a test of the server." 2>/dev/null
speech_ms=$(python3 -c "import wave; w=wave.open('$work/speech.wav'); print(int(w.getnframes()*1000/w.getframerate()))")
mkdir -p "$XDG_CONFIG_HOME/dravelin"
cat >"$XDG_CONFIG_HOME/dravelin/settings.json" <<JSON
{"mic.inputFile": "$work/speech.wav", "onboarding.completed": true, "sounds.enabled": false}
JSON

# Another application on Wayland: the test window, driven through its standard input.
coproc WINDOW { exec "$test_window"; }
read -r -t 20 _ <&"${WINDOW[0]}" || fail "test window did not start"
window_line() {
    echo dump >&"${WINDOW[1]}"
    read -r -t 10 state <&"${WINDOW[0]}" || fail "test window did not answer"
    python3 -c 'import json,sys; print(json.loads(sys.argv[1])["line"])' "$state"
}

: >"$work/app.log"
"$app" --verbose >>"$work/app.log" 2>&1 &
app_pid=$!
wait_log "D-Bus control ready"
wait_log "Loaded [0-9]* entries"
grep -q "Desktop: Wayland session; keystrokes: the compositor's virtual keyboard; clipboard: the compositor's data control" \
    "$work/app.log" || fail "the Wayland roads were not chosen: $(grep 'Desktop:' "$work/app.log")"

# Without a tray the window opens; the user goes back to the other application.
swaymsg '[app_id="dravelin_test_window"] focus' >/dev/null
[ "$(focused_app)" = dravelin_test_window ] || fail "could not focus the test window: $(focused_app)"
wl-copy "what the user had copied"

cpu_before=$(awk '{print $14 + $15}' "/proc/$app_pid/stat")
"$app" --toggle || fail "dravelin --toggle: status $?"
wait_log "mic live"
# The compositor's window list names the application being dictated into.
wait_log "Recording started in dravelin_test_window"
sleep "$(python3 -c "print(($speech_ms + 300) / 1000)")"
[ "$(focused_app)" = dravelin_test_window ] || fail "the focus left the test window while recording: $(focused_app)"
# The indicator floats on the overlay layer rather than being tiled as a window.
wait_log "Indicator frame: recording"
grep -q "Indicator on the compositor's overlay layer" "$work/app.log" || fail "the indicator is not on the overlay layer"
swaymsg -t get_tree | grep -q '"Dravelin indicator"' && fail "the indicator is a window of its own"
[ -z "${SCREENSHOT:-}" ] || grim "$SCREENSHOT"
cpu_recording=$(($(awk '{print $14 + $15}' "/proc/$app_pid/stat") - cpu_before))
stop_at=$(now_ms)
"$app" --toggle || fail "dravelin --toggle (stop): status $?"
text=
for _ in $(seq 300); do
    text=$(window_line)
    [ -n "$text" ] && break
    sleep 0.05
done
[ -n "$text" ] || fail "nothing was pasted into the Wayland text field"
pasted_ms=$(($(now_ms) - stop_at))
case "$text" in
Hello*server*) ;;
*) fail "pasted text: '$text'" ;;
esac
[ "$(focused_app)" = dravelin_test_window ] || fail "the focus left the test window: $(focused_app)"
wait_log "clipboard restored"
[ "$(wl-paste --no-newline)" = "what the user had copied" ] || fail "clipboard after the paste: '$(wl-paste)'"

echo "stop -> text in the Wayland field: ${pasted_ms} ms (speech ${speech_ms} ms)"
echo "CPU of dravelin while recording ${speech_ms} ms of speech (pill on the overlay layer): $((cpu_recording * 10)) ms"
echo "1 passed, 0 failed"
