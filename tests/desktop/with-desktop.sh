#!/usr/bin/env bash
# Runs a command on a private desktop: an Xvfb X server, a D-Bus session and
# the accessibility bus, under a throw-away HOME. No window manager runs, so
# the X input focus decides where keystrokes go.
#   with-desktop.sh [--keyring] [--tray] COMMAND…
# --keyring also starts an unlocked Secret Service (gnome-keyring), --tray an
# XEmbed system tray (trayer) at the top right of the screen.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
    runtime=$(mktemp -d)
    chmod 700 "$runtime"
    xvfb_pid=
    cleanup() {
        local status=$?
        [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
        rm -rf "$runtime" 2>/dev/null || true
        exit "$status"
    }
    trap cleanup EXIT
    exec 3>"$runtime/display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset >"$runtime/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 200); do
        [ -s "$runtime/display" ] && break
        sleep 0.05
    done
    display=":$(head -n1 "$runtime/display")"
    status=0
    HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_DATA_HOME="$runtime/data" XDG_CONFIG_HOME="$runtime/config" \
        XDG_STATE_HOME="$runtime/state" DISPLAY="$display" QT_QPA_PLATFORM=xcb \
        dbus-run-session -- "$0" --inside "$@" 2> >(grep -v "Failed to set fd limit\|dbus-daemon\[" >&2) || status=$?
    exit "$status"
fi
shift

. "$(dirname "${BASH_SOURCE[0]}")/session-services.sh"
start_accessibility_bus
tray_pid=
keyring_pid=
trap 'for pid in $tray_pid $keyring_pid; do kill "$pid" 2>/dev/null; done; true' EXIT
while [ $# -gt 0 ]; do
    case "$1" in
    --keyring)
        start_keyring
        shift
        ;;
    --tray)
        trayer --edge top --align right --widthtype pixel --width 120 --height 24 >/dev/null 2>&1 &
        tray_pid=$!
        for _ in $(seq 100); do
            xwininfo -root -tree 2>/dev/null | grep -qi trayer && break
            sleep 0.05
        done
        shift
        ;;
    *) break ;;
    esac
done
status=0
"$@" || status=$?
exit "$status"
