#!/usr/bin/env bash
# Runs a command on a private desktop: an Xvfb X server, a D-Bus session and
# the accessibility bus, under a throw-away HOME. No window manager runs, so
# the X input focus decides where keystrokes go.
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
    HOME="$runtime" XDG_RUNTIME_DIR="$runtime" DISPLAY="$display" QT_QPA_PLATFORM=xcb \
        dbus-run-session -- "$0" --inside "$@" 2> >(grep -v "Failed to set fd limit\|dbus-daemon\[" >&2) || status=$?
    exit "$status"
fi
shift

# The accessibility bus must be up before applications start, or they do not
# register on it.
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export QT_ACCESSIBILITY=1
"$@"
