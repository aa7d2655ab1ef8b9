#!/usr/bin/env bash
# Dictation from the command line into other programs' text fields, on a
# private desktop (run it inside `with-desktop.sh --keyring`): for each program,
# start it, give its field the focus, dictate a spoken file through
# dravelin-cli and the real server, and read the field back — through the
# program's own output or the accessibility bus. One row per program; prints
# what each one got, the keystroke used and how long the dictation took.
#   third-party-test.sh DRAVELIN_CLI DRAVELIN_SERVER
set -euo pipefail
cli=$1
server=$2
here=$(dirname "$0")
work=$(mktemp -d)
server_pid=
target_pid=
cleanup() {
    local status=$?
    kill $target_pid $server_pid 2>/dev/null || true
    [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
# shellcheck source=../support/shell-helpers.sh
. "$(dirname "$0")/../support/shell-helpers.sh"

start_local_server "$server" "$work/server"
espeak-ng -v en-us -s 150 -w "$work/speech.wav" "Hello world. This is a test of the server." 2>/dev/null

# Starts "$@" in the background, waits for its window titled $title and gives it
# the keyboard focus.
title=
start_target() {
    "$@" &
    target_pid=$!
    window=$(timeout 30 xdotool search --sync --name "$title" | head -n1) || true
    [ -n "$window" ] || fail "no window named '$title' appeared"
    sleep 0.5 # GTK fields register on the accessibility bus after they map
    xdotool windowfocus --sync "$window"
}
# Dictates into the focused window; sets $dictated and $took.
dictate() {
    local start
    start=$(date +%s%3N)
    "$cli" dictate --verbose --file "$work/speech.wav" --consent-as ada@example.com >"$work/cli.out" 2>&1 ||
        fail "$1: dravelin-cli exited with $? — $(tail -n 5 "$work/cli.out")"
    took=$(($(date +%s%3N) - start))
    grep -q "Pasted into the focused window" "$work/cli.out" || fail "$1: not pasted — $(tail -n 20 "$work/cli.out")"
    dictated=$(sed -n 's/^Dictated: //p' "$work/cli.out")
}
# What the focus probe decided and whether the clipboard came back, from the log.
probe() { sed -n 's/.*Focus probe → //p' "$work/cli.out" | head -n1; }
restored() { grep -q "clipboard restored" "$work/cli.out" && echo yes || echo no; }
# Programs that print their field and quit on Return; the others are ended.
return_and_wait() {
    xdotool key Return
    wait "$target_pid" || true
    target_pid=
}
stop_target() {
    kill "$target_pid" 2>/dev/null || true
    target_pid=
}
passed=0
report() { # name keystroke got
    [ "$3" = "$dictated" ] || fail "$1 holds '$3', dictated '$dictated'"
    printf '%-28s probe=%-11s keys=%-13s restored=%-3s %5d ms  "%s"\n' "$1" "$(probe)" "$2" "$(restored)" "$took" "$3"
    passed=$((passed + 1))
}

# GTK 3 single-line entry: zenity prints the entry's text when Return is pressed.
title="Dravelin GTK entry"
start_target zenity --entry --title "$title" --text "Dictate here"
dictate "GTK 3 entry"
got=$(/usr/bin/python3 "$here/focused-text.py" zenity)
return_and_wait
report "GTK 3 entry (zenity)" "Ctrl+V" "$got"

# GTK 3 multi-line text view, read over the accessibility bus.
title="Dravelin GTK text view"
start_target zenity --text-info --editable --title "$title"
dictate "GTK 3 text view"
got=$(/usr/bin/python3 "$here/focused-text.py" zenity)
stop_target
report "GTK 3 text view (zenity)" "Ctrl+V" "$got"

# GTK 4 entry (its own accessibility implementation; software rendering on
# Xvfb): the script prints the entry's text when Return is pressed.
title="Dravelin GTK 4 entry"
GDK_BACKEND=x11 GSK_RENDERER=cairo start_target /usr/bin/python3 "$here/gtk4-entry.py" "$title" >"$work/gtk4.out"
dictate "GTK 4 entry"
return_and_wait
report "GTK 4 entry" "Ctrl+V" "$(cat "$work/gtk4.out")"

# xterm: no clipboard-paste key, so Shift+Insert with the text on the
# primary selection; the shell in it writes the line it reads to a file.
title="Dravelin xterm"
start_target xterm -title "$title" -e sh -c "IFS= read -r line; printf '%s' \"\$line\" > '$work/xterm.out'"
dictate "xterm"
return_and_wait
report "xterm" "Shift+Insert" "$(cat "$work/xterm.out")"

# libadwaita: an entry row in an application window.
title="Dravelin libadwaita entry row"
GDK_BACKEND=x11 GSK_RENDERER=cairo start_target /usr/bin/python3 "$here/gtk4-entry.py" "$title" --adwaita >"$work/adw.out"
dictate "libadwaita entry row"
return_and_wait
report "libadwaita entry row" "Ctrl+V" "$(cat "$work/adw.out")"

# Qt Quick Controls text field, run by Qt's own qml tool (software rendering
# on Xvfb); the field's text comes back on its log when Return is pressed.
title="Dravelin Qt Quick field"
QT_QUICK_BACKEND=software start_target /usr/lib/qt6/bin/qml "$here/quick-field.qml" 2>"$work/quick.out"
dictate "Qt Quick field"
return_and_wait
report "Qt Quick field (qml tool)" "Ctrl+V" "$(sed -n 's/.*field://p' "$work/quick.out")"

# A Qt 5 Widgets editor (FeatherPad), read over the accessibility bus.
title="dravelin-note"
: >"$work/dravelin-note"
start_target featherpad --standalone "$work/dravelin-note"
dictate "FeatherPad"
got=$(/usr/bin/python3 "$here/focused-text.py" FeatherPad)
stop_target
report "Qt 5 editor (FeatherPad)" "Ctrl+V" "$got"

# A terminal that pastes the clipboard with Ctrl+Shift+V.
title="Dravelin lxterminal"
start_target lxterminal --no-remote -t "$title" -e sh -c "IFS= read -r line; printf '%s' \"\$line\" > '$work/lxterminal.out'"
dictate "lxterminal"
return_and_wait
report "lxterminal" "Ctrl+Shift+V" "$(cat "$work/lxterminal.out")"

# Chromium text area: the page puts the area's text in its title, which the
# window's name follows a moment later. A key typed and erased first shows
# the page takes keystrokes before the dictation starts.
title="Dravelin Chromium"
page='<title>Dravelin Chromium</title><textarea autofocus oninput="document.title=this.value||0"></textarea>'
start_target chromium --no-sandbox --no-first-run --disable-gpu --password-store=basic --user-data-dir="$work/chromium" \
    --force-renderer-accessibility --app="data:text/html,$page" 2>"$work/chromium.log"
name_becomes() { # text: waits up to 20 s for the window's name
    for _ in $(seq 200); do
        [ "$(xdotool getwindowname "$window")" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}
xdotool type x
name_becomes x || fail "Chromium's text area never took a key"
xdotool key BackSpace
name_becomes 0 || fail "Chromium's text area never emptied"
dictate "Chromium text area"
name_becomes "$dictated" || true
got=$(xdotool getwindowname "$window")
stop_target
report "Chromium text area" "Ctrl+V" "$got"

echo "$passed passed, 0 failed"
