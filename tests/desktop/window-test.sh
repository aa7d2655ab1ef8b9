#!/usr/bin/env bash
# The main window as a new user meets it, driven over the accessibility bus
# (run it inside `with-desktop.sh --keyring --tray with-pulseaudio.sh`):
# signed in to a fresh dravelin-server but not onboarded, `dravelin` opens on
# onboarding; its steps are walked to a first dictation into the try-it box
# (the record hotkey pressed with XTest, a spoken file as the microphone) and
# finished, which lands on Home and is remembered. Then every screen opens
# from a second launch, a word added on the dictionary screen reaches the
# server, and Space on a history entry plays its recording. Prints the
# timings it measured.
#   window-test.sh DRAVELIN DRAVELIN_CLI DRAVELIN_SERVER
set -euo pipefail
app=$1
cli=$2
server=$3
here=$(dirname "$0")
work=$(mktemp -d)
server_pid=
app_pid=
cleanup() {
    local status=$?
    [ "$status" -ne 0 ] && [ -f "$work/app.log" ] && tail -n 40 "$work/app.log" >&2
    # Every process started here goes, or CTest waits for their output forever.
    kill $app_pid $server_pid 2>/dev/null || true
    wait $app_pid $server_pid 2>/dev/null || true
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
# shellcheck source=../support/shell-helpers.sh
. "$here/../support/shell-helpers.sh"
now_ms() { date +%s%3N; }
drive() { /usr/bin/python3 "$here/drive-window.py" dravelin "$@" || fail "drive-window.py $*"; }
# The log's length now; wait_log looks only at what comes after such a mark.
mark() { wc -l <"$work/app.log"; }
# Waits (up to $3 tenths of a second) for a line matching $2 in the app's log
# after line $1.
wait_log() {
    for _ in $(seq "${3:-100}"); do
        tail -n +"$(($1 + 1))" "$work/app.log" | grep -q -- "$2" && return 0
        kill -0 "$app_pid" 2>/dev/null || fail "dravelin exited while waiting for '$2'"
        sleep 0.1
    done
    fail "no log line '$2'"
}
setting() { # prints one setting's JSON value, "absent" when it has none
    /usr/bin/python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(json.dumps(d.get(sys.argv[2], "absent")))' \
        "$settings" "$1"
}

start_local_server "$server" "$work/server"
"$cli" sign-in --consent-as ada@example.com >"$work/out" 2>&1 || fail "sign-in: $(cat "$work/out")"
espeak-ng -v en-us -s 150 -w "$work/speech.wav" "Hello world. This is a test of the server." 2>/dev/null
speech_ms=$(/usr/bin/python3 -c "import wave; w=wave.open('$work/speech.wav'); print(int(w.getnframes()*1000/w.getframerate()))")
settings="$XDG_CONFIG_HOME/dravelin/settings.json"
mkdir -p "$(dirname "$settings")"
cat >"$settings" <<JSON
{"mic.inputFile": "$work/speech.wav", "sounds.enabled": false}
JSON

# --- Onboarding to a first dictation -----------------------------------------
: >"$work/app.log"
"$app" --verbose >>"$work/app.log" 2>&1 &
app_pid=$!
wait_log 0 "Main window route: onboarding"
wait_log 0 "Hotkeys registered"
wait_log 0 "Loaded [0-9]* entries" # start-up has settled
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Dravelin$' | head -n1) || fail "no main window"
wait_log 0 "Onboarding step: microphone"
# Straight to onboarding: no other screen is built or shown first.
first_route=$(grep -o "Main window route: [a-z]*" "$work/app.log" | head -n1)
[ "$first_route" = "Main window route: onboarding" ] || fail "the window first showed: $first_route"
[ "$(grep -c "Onboarding step: microphone" "$work/app.log")" = 1 ] || fail "onboarding started more than once"
drive press Continue
wait_log 0 "Onboarding step: accessibility"
drive wait-text "Accessibility status" "Ready" 20 >/dev/null
drive press Continue
wait_log 0 "Onboarding step: shortcut"
drive press Continue
wait_log 0 "Onboarding step: tryIt"
# The box has the focus; the window gets the keyboard, as a click would give it.
xdotool windowfocus --sync "$window"
drive wait-focus "Try dictating here"
at=$(mark)
xdotool key ctrl+shift+space
wait_log "$at" "Recording started"
sleep "$(/usr/bin/python3 -c "print(($speech_ms + 300) / 1000)")" # the speech plays as the microphone
stop_at=$(now_ms)
xdotool key ctrl+shift+space
drive wait-text "Try dictating here" "server" 30 >/dev/null
typed_ms=$(($(now_ms) - stop_at))
drive wait-text "Try status" "It works" >/dev/null
at=$(mark)
finish_at=$(now_ms)
drive press Finish
wait_log "$at" "Main window route: home"
home_ms=$(($(now_ms) - finish_at))
for _ in $(seq 50); do
    [ "$(setting onboarding.completed)" = true ] && break
    sleep 0.1
done
[ "$(setting onboarding.completed)" = true ] || fail "onboarding.completed is $(setting onboarding.completed)"
[ "$(setting onboarding.skipped)" = false ] || fail "onboarding.skipped is $(setting onboarding.skipped)"

# --- Every screen opens from a second launch ---------------------------------
slowest_ms=0
for screen in home ask history dictionary transforms stats shortcuts microphone general account onboarding logs \
    about; do
    at=$(mark)
    asked=$(now_ms)
    "$app" --open "$screen" >"$work/second" 2>&1 || fail "dravelin --open $screen: $(cat "$work/second")"
    grep -q "already running" "$work/second" || fail "dravelin --open $screen started a second copy"
    wait_log "$at" "Main window route: $screen\$"
    took=$(($(now_ms) - asked))
    [ "$took" -gt "$slowest_ms" ] && slowest_ms=$took
done

# --- A word added on the dictionary screen reaches the server -----------------
at=$(mark)
"$app" --open dictionary >/dev/null
wait_log "$at" "Main window route: dictionary"
drive set-text "New word" Quillfeather
added_at=$(now_ms)
drive press "Add word"
token=$("$cli" token) || fail "dravelin-cli token"
on_server=
for _ in $(seq 100); do
    curl -sf -H "Authorization: Bearer $token" -H "apikey: ${DRAVELIN_API_KEY:-dravelin-local-public-key}" \
        "$DRAVELIN_BASE_URL/rest/v1/vocabulary_terms" >"$work/terms" || fail "GET vocabulary_terms"
    grep -q '"term":"Quillfeather"' "$work/terms" && on_server=1 && break
    sleep 0.1
done
[ -n "$on_server" ] || fail "the server's vocabulary lacks the word: $(cat "$work/terms")"
synced_ms=$(($(now_ms) - added_at))
drive row "Dictionary words" Quillfeather >/dev/null # and the list shows it

# --- Space on a history entry plays its recording ----------------------------
at=$(mark)
"$app" --open history >/dev/null
wait_log "$at" "Main window route: history"
read -r x y w h <<<"$(drive row Dictations "has a recording")"
xdotool windowfocus --sync "$window"
xdotool mousemove $((x + w / 4)) $((y + h / 2)) click 1 # on its text, away from its buttons
pactl list sink-inputs | grep -q "Recording playback" && fail "a click on the entry's text played it"
playing=
space_at=$(now_ms)
xdotool key space
for _ in $(seq 100); do
    pactl list sink-inputs 2>/dev/null | grep -q 'media.name = "Recording playback"' && playing=1 && break
    sleep 0.05
done
[ -n "$playing" ] || fail "Space on the entry played nothing (history message: $(drive text "History message"))"
played_ms=$(($(now_ms) - space_at))
grep -q "\[audio-playback\]" "$work/app.log" && fail "playback logged a problem"
kill -0 "$app_pid" || fail "dravelin died"

echo "dictation stop -> text in the try-it box: ${typed_ms} ms (speech ${speech_ms} ms)"
echo "Finish pressed -> Home: ${home_ms} ms"
echo "second launch -> screen shown, slowest of 13: ${slowest_ms} ms"
echo "Add pressed -> word on the server: ${synced_ms} ms"
echo "Space on a history entry -> playback stream open: ${played_ms} ms"
echo "1 passed, 0 failed"
