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

# The accessibility bus must be up before applications start, or they do not
# register on it.
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_ACCESSIBILITY=1
tray_pid=
keyring_pid=
trap 'for pid in $tray_pid $keyring_pid; do kill "$pid" 2>/dev/null; done; true' EXIT
while [ $# -gt 0 ]; do
    case "$1" in
    --keyring)
        # Its standard error must not keep the caller's output open (CTest waits
        # for it); the daemon ends with this script.
        eval "$(printf 'dravelin-test\n' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)"
        export GNOME_KEYRING_CONTROL
        keyring_pid=$(pgrep -n -x gnome-keyring-d || true)
        for _ in $(seq 100); do
            dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
                grep -q "boolean true" && break
            sleep 0.05
        done
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
