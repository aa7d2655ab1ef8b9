#!/usr/bin/env bash
# Dictation from the command line into other programs' text fields, on a
# private desktop (run it inside `with-desktop.sh --keyring`): for each program, start it,
# give its field the focus, dictate a spoken file through dravelin-cli and the
# real server, and read the field back through the program itself.
# One row per program; prints what each one got and how long it took.
#   third-party-test.sh DRAVELIN_CLI DRAVELIN_SERVER
set -euo pipefail
cli=$1
server=$2
work=$(mktemp -d)
server_pid=
target_pid=
cleanup() {
    local status=$?
    for pid in "$target_pid" "$server_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$server" --port "$port" --data-dir "$work/server" --quiet &
server_pid=$!
for _ in $(seq 200); do
    curl -sf "http://127.0.0.1:$port/health" >/dev/null 2>&1 && break
    sleep 0.05
done
export DRAVELIN_BASE_URL="http://127.0.0.1:$port"
espeak-ng -v en-us -s 150 -w "$work/speech.wav" "Hello world. This is a test of the server." 2>/dev/null

passed=0
# GTK 3: zenity's entry dialog prints the entry's text when Return is pressed.
row_gtk_entry() {
    zenity --entry --title "Dravelin GTK entry" --text "Dictate here" >"$work/gtk.out" 2>/dev/null &
    target_pid=$!
    local window
    window=$(xdotool search --sync --name "Dravelin GTK entry" | head -n1)
    sleep 0.5 # the entry registers on the accessibility bus after it maps
    xdotool windowfocus --sync "$window"
    local start=$(date +%s%3N)
    "$cli" dictate --file "$work/speech.wav" --consent-as ada@example.com >"$work/cli.out" 2>&1 ||
        fail "GTK entry: dravelin-cli exited with $? — $(tail -n 5 "$work/cli.out")"
    local took=$(($(date +%s%3N) - start))
    grep -q "Pasted into the focused window" "$work/cli.out" || fail "GTK entry: not pasted — $(cat "$work/cli.out")"
    xdotool key --window "$window" Return
    wait "$target_pid" || true
    target_pid=
    local got
    got=$(cat "$work/gtk.out")
    local dictated
    dictated=$(sed -n 's/^Dictated: //p' "$work/cli.out")
    [ "$got" = "$dictated" ] || fail "GTK entry holds '$got', dictated '$dictated'"
    echo "GTK 3 entry (zenity): probe editable, Ctrl+V, text landed, ${took} ms for the whole dictation"
    passed=$((passed + 1))
}

row_gtk_entry
echo "$passed passed, 0 failed"
