#!/usr/bin/env bash
# Runs a command in a private, headless Wayland session: a sway compositor with
# one virtual 1280x800 output and no XWayland, a D-Bus session and the
# accessibility bus, under a throw-away HOME.
#   with-wayland.sh [--keyring] COMMAND…
# --keyring also starts an unlocked Secret Service (gnome-keyring).
# The command sees WAYLAND_DISPLAY (the compositor's socket, as an absolute
# path), SWAYSOCK (its IPC socket: `swaymsg -t get_tree` tells which window has
# the focus), QT_QPA_PLATFORM=wayland and no DISPLAY. The seat starts without a
# keyboard; virtual keyboards (wtype) add one.
# sway will not run as root, so under root it runs as nobody in a runtime
# directory of its own; the command always runs as the caller.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
    if [ $# -eq 0 ] || { [ "$1" = --keyring ] && [ $# -eq 1 ]; }; then
        echo "usage: with-wayland.sh [--keyring] COMMAND…" >&2
        exit 2
    fi
    # The command's HOME and XDG_RUNTIME_DIR (0700, the caller's), and sway's
    # directory: its runtime directory, configuration and log. The latter is
    # under /tmp so that nobody can reach it and the socket path stays short.
    runtime=$(mktemp -d)
    chmod 700 "$runtime"
    compositor=$(mktemp -d /tmp/dravelin-wayland.XXXXXX)
    sway_pid=
    running() {
        local state
        state=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${state:0:1}" != Z ]
    }
    cleanup() {
        local status=$?
        if [ -n "$sway_pid" ]; then
            kill "$sway_pid" 2>/dev/null || true
            for _ in $(seq 60); do
                running "$sway_pid" || break
                sleep 0.05
            done
            kill -KILL "$sway_pid" 2>/dev/null || true
            wait "$sway_pid" 2>/dev/null || true
        fi
        rm -rf "$runtime" "$compositor" 2>/dev/null || true
        exit "$status"
    }
    trap cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM HUP

    # No bar, wallpaper, nag bar or key bindings: keystrokes all reach the
    # focused window.
    cat >"$compositor/config" <<'EOF'
xwayland disable
swaybg_command -
swaynag_command -
output HEADLESS-1 resolution 1280x800
EOF
    chmod 644 "$compositor/config"
    as_compositor=()
    if [ "$(id -u)" -eq 0 ]; then
        chown "$(id -u nobody)" "$compositor"
        as_compositor=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups --)
    fi
    env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET -u SWAYSOCK -u I3SOCK -u DBUS_SESSION_BUS_ADDRESS \
        HOME="$compositor" XDG_RUNTIME_DIR="$compositor" \
        WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        "${as_compositor[@]}" sway -c "$compositor/config" </dev/null >"$compositor/sway.log" 2>&1 &
    sway_pid=$!

    # sway answers on its IPC socket once its event loop runs, which also
    # serves the Wayland socket.
    display=
    ipc=
    deadline=$((SECONDS + 10))
    while [ "$SECONDS" -lt "$deadline" ] && running "$sway_pid"; do
        for socket in "$compositor"/wayland-[0-9]*; do
            [ -S "$socket" ] && display=$socket
        done
        for socket in "$compositor"/sway-ipc.*.sock; do
            [ -S "$socket" ] && ipc=$socket
        done
        if [ -n "$display" ] && [ -n "$ipc" ] && timeout 1 swaymsg -s "$ipc" -t get_version >/dev/null 2>&1; then
            break
        fi
        ipc=
        sleep 0.05
    done
    if [ -z "$ipc" ]; then
        echo "with-wayland.sh: sway did not start; the end of its log:" >&2
        tail -n 20 "$compositor/sway.log" >&2
        exit 1
    fi

    status=0
    env -u DISPLAY -u WAYLAND_SOCKET -u I3SOCK -u XAUTHORITY \
        HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_DATA_HOME="$runtime/data" XDG_CONFIG_HOME="$runtime/config" \
        XDG_STATE_HOME="$runtime/state" WAYLAND_DISPLAY="$display" SWAYSOCK="$ipc" \
        QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland \
        dbus-run-session -- "$0" --inside "$@" 2> >(grep -v "Failed to set fd limit\|dbus-daemon\[" >&2) || status=$?
    exit "$status"
fi
shift

. "$(dirname "${BASH_SOURCE[0]}")/session-services.sh"
start_accessibility_bus
keyring_pid=
trap '[ -z "$keyring_pid" ] || kill "$keyring_pid" 2>/dev/null; true' EXIT
if [ "$1" = --keyring ]; then
    start_keyring
    shift
fi
status=0
"$@" || status=$?
exit "$status"
