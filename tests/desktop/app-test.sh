#!/usr/bin/env bash
# The resident app as a user meets it, on a private desktop with a tray, a
# keyring and the accessibility bus (run it inside `with-desktop.sh --keyring
# --tray`): signed in to a fresh dravelin-server, `dravelin` sits in the tray
# with its hotkeys grabbed; in another application's text field the record
# hotkey dictates a spoken file (the microphone) while the indicator shows its
# states without taking the focus, its confirm button stops, Escape cancels, the
# private-paste hotkey re-inserts the last text, so does choosing it in the
# tray menu's Recent Transcriptions, a bare Right Ctrl held down
# dictates hold-to-talk; a shortcut another client holds is reported while the
# others keep working; a stale active-window id does not kill the app; a
# second launch hands over to the running one. Prints the timings it measured.
#   app-test.sh DRAVELIN DRAVELIN_CLI DRAVELIN_SERVER TEST_WINDOW GRAB_TOOL
set -euo pipefail
app=$1
cli=$2
server=$3
test_window=$4
grab_tool=$5
work=$(mktemp -d)
server_pid=
app_pid=
grab_pid=
cleanup() {
    local status=$?
    [ "$status" -ne 0 ] && [ -f "$work/app.log" ] && tail -n 40 "$work/app.log" >&2
    # Every process started here goes, or CTest waits for their output forever.
    kill $app_pid $grab_pid ${WINDOW_PID:-} $server_pid 2>/dev/null || true
    [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
# shellcheck source=../support/shell-helpers.sh
. "$(dirname "$0")/../support/shell-helpers.sh"
now_ms() { date +%s%3N; }

start_local_server "$server" "$work/server"
"$cli" sign-in --consent-as ada@example.com >"$work/out" 2>&1 || fail "sign-in: $(cat "$work/out")"

espeak-ng -v en-us -s 150 -w "$work/speech.wav" "Hello world. This is a test of the server." 2>/dev/null
speech_ms=$(python3 -c "import wave; w=wave.open('$work/speech.wav'); print(int(w.getnframes()*1000/w.getframerate()))")
settings="$XDG_CONFIG_HOME/dravelin/settings.json"
binding() { printf '{"keyCode":%s,"modifiers":%s}' "$1" "$2" | base64 -w0; }
write_settings() { # recording mode, record binding
    mkdir -p "$(dirname "$settings")"
    cat >"$settings" <<JSON
{"mic.inputFile": "$work/speech.wav", "onboarding.completed": true, "sounds.enabled": false,
 "recording.mode": "$1", "hotkey.record": {"data": "$2"}}
JSON
}
start_app() {
    : >"$work/app.log"
    "$app" --verbose >>"$work/app.log" 2>&1 &
    app_pid=$!
    wait_log "Hotkeys registered"
    wait_log "Loaded [0-9]* entries"
}
stop_app() {
    kill "$app_pid" && wait "$app_pid" 2>/dev/null || true
    app_pid=
}

# Another application: the test window, driven through its standard input.
coproc WINDOW { exec "$test_window"; }
read -r -t 20 ready <&"${WINDOW[0]}" || fail "test window did not start"
window_id=$(xdotool search --sync --name "Dravelin test window" | head -n1)
focus_window() { xdotool windowfocus --sync "$window_id"; }
window_line() {
    echo dump >&"${WINDOW[1]}"
    read -r -t 10 state <&"${WINDOW[0]}" || fail "test window did not answer"
    python3 -c 'import json,sys; print(json.loads(sys.argv[1])["line"])' "$state"
}
clear_line() {
    echo "set " >&"${WINDOW[1]}"
    read -r -t 10 _ <&"${WINDOW[0]}"
}
# Waits for the field to hold more than $1 characters; prints the text.
wait_text() {
    for _ in $(seq 300); do
        local text
        text=$(window_line)
        if [ "${#text}" -gt "$1" ]; then
            echo "$text"
            return 0
        fi
        sleep 0.05
    done
    return 1
}

# --- Toggle mode with Ctrl+Shift+Space ---------------------------------------
write_settings toggle "$(binding 49 768)"
start_app
grep -q "First run" "$work/app.log" && fail "the window opened for a signed-in, onboarded user"
rss_kb=$(awk '/VmRSS/ {print $2}' "/proc/$app_pid/status")

# A second launch hands over and exits.
"$app" >"$work/second" 2>&1 || fail "second launch: $(cat "$work/second")"
grep -q "already running" "$work/second" || fail "second launch: $(cat "$work/second")"
wait_log "Another launch asked to open the main window"
focus_window

# Escape cancels a running capture: nothing is pasted.
xdotool key ctrl+shift+space
wait_log "Recording started"
sleep 0.5
xdotool key Escape
wait_log "User cancelled recording"
sleep 0.5
[ -z "$(window_line)" ] || fail "a cancelled capture pasted: $(window_line)"

# A dictation: press, the file plays as the microphone; the indicator shows
# the recording without taking the focus, and its confirm button stops it.
cpu_before=$(awk '{print $14 + $15}' "/proc/$app_pid/stat")
xdotool key ctrl+shift+space
wait_log "mic live"
wait_log "Indicator frame: recording"
pill=$(xdotool search --name "Dravelin indicator" | head -n1)
[ -n "$pill" ] || fail "no indicator window"
xwininfo -id "$pill" | grep -q "IsViewable" || fail "the indicator is not on screen while recording"
sleep "$(python3 -c "print(($speech_ms + 300) / 1000)")"
eval "$(xdotool getwindowgeometry --shell "$pill" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
[ "$(xdotool getwindowfocus)" = "$window_id" ] || fail "the focus left the test window while recording"
cpu_recording=$(($(awk '{print $14 + $15}' "/proc/$app_pid/stat") - cpu_before))
stop_at=$(now_ms)
xdotool mousemove $((X + WIDTH - 23)) $((Y + HEIGHT / 2)) click 1
text=$(wait_text 0) || fail "nothing was pasted into the test window"
pasted_ms=$(($(now_ms) - stop_at))
echo "$text" | grep -qi "server" || fail "pasted text: $text"
wait_log "Pipeline ([0-9]* ms total)" # history written too
grep -q "Indicator click → region=confirm" "$work/app.log" || fail "the confirm click was not seen"
states=$(grep -o "Indicator state: [a-z]*" "$work/app.log" | sed 's/Indicator state: //' | uniq | tr '\n' ' ')
echo "$states" | grep -q "recording processing done" || fail "indicator states: $states"
[ "$(xdotool getwindowfocus)" = "$window_id" ] || fail "the focus left the test window"

# Private paste re-inserts it.
sleep 1 # the pill fades back to idle meanwhile
[ "$(xdotool getwindowfocus)" = "$window_id" ] ||
    fail "the focus moved when the pill went back to idle: $(xdotool getwindowfocus getwindowname 2>&1)"
clear_line
xdotool key super+ctrl+v
again=$(wait_text 0) || fail "private paste inserted nothing"
[ "$again" = "$text" ] || fail "private paste inserted '$again', expected '$text'"

# The tray menu offers it under Recent Transcriptions; choosing it pastes it.
clear_line
xdotool mousemove 1270 12 click 1
sleep 0.5
xdotool key Down Down Down Right
sleep 0.3
xdotool key Return
from_menu=$(wait_text 0) || fail "choosing the entry in Recent Transcriptions pasted nothing"
[ "$from_menu" = "$text" ] || fail "the tray menu pasted '$from_menu', expected '$text'"

# A stale active-window id must not kill the app.
xprop -root -f _NET_ACTIVE_WINDOW 32x -set _NET_ACTIVE_WINDOW 0x3fffff1
clear_line
xdotool key ctrl+shift+space
wait_log "Recording started in"
sleep 0.5
xdotool key Escape
kill -0 "$app_pid" || fail "the app died on a stale window id"
xprop -root -remove _NET_ACTIVE_WINDOW
stop_app
live_ms=$(grep -o "mic live [0-9]* ms" "$work/app.log" | head -n1 | grep -o "[0-9]*" || true)
# From the second dictation's hotkey line to the pill's first recording frame.
frame_ms=$(python3 - "$work/app.log" <<'PY'
import re, sys
def ms(line):
    h, m, s = line[:12].split(":")
    return (int(h) * 3600 + int(m) * 60 + float(s)) * 1000
lines = open(sys.argv[1]).read().splitlines()
presses = [ms(l) for l in lines if "pressed (toggle record)" in l]
frames = [ms(l) for l in lines if "Indicator frame: recording" in l]
print(int(frames[1] - presses[1]) if len(presses) > 1 and len(frames) > 1 else "?")
PY
)

# --- Hold to talk with Right Ctrl alone --------------------------------------
write_settings holdOrDoubleTap "$(binding 54 0)"
start_app
wait_log "Started watching command"
focus_window
clear_line
xdotool keydown Control_R
wait_log "mic live"
sleep "$(python3 -c "print(($speech_ms + 300) / 1000)")"
xdotool keyup Control_R
wait_log "hold released after"
held=$(wait_text 0) || fail "hold-to-talk pasted nothing"
echo "$held" | grep -qi "server" || fail "hold-to-talk text: $held"
stop_app

# --- A record shortcut another client holds ----------------------------------
coproc GRAB { exec "$grab_tool" space 5; }
grab_pid=$GRAB_PID
read -r -t 10 grabbed <&"${GRAB[0]}" || fail "grab tool did not start"
write_settings toggle "$(binding 49 768)"
start_app
wait_log "RegisterEventHotKey failed for id=1"
focus_window
clear_line
xdotool key super+ctrl+v
wait_text 0 >/dev/null ||
    fail "private paste stopped working when the record shortcut was taken (focus: $(xdotool getwindowfocus getwindowname 2>&1))"
stop_app

echo "idle RSS: $((rss_kb / 1024)) MiB"
echo "hotkey press -> microphone live: ${live_ms:-?} ms"
echo "hotkey press -> first frame of the recording pill: ${frame_ms} ms"
echo "CPU of dravelin while recording ${speech_ms} ms of speech: $((cpu_recording * 10)) ms"
echo "confirm click -> text in the window: ${pasted_ms} ms (speech ${speech_ms} ms)"
echo "1 passed, 0 failed"
