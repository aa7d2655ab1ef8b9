#!/usr/bin/env bash
# Runs a command inside a private D-Bus session with an unlocked keyring
# (gnome-keyring's Secret Service), under a throw-away HOME, so the keychain
# is the real thing without touching the user's own.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
    runtime=$(mktemp -d)
    chmod 700 "$runtime"
    trap 'rm -rf "$runtime" 2>/dev/null || true' EXIT
    status=0
    HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_DATA_HOME="$runtime/data" XDG_CONFIG_HOME="$runtime/config" \
        dbus-run-session -- "$0" --inside "$@" 2> >(grep -v "Failed to set fd limit" >&2) || status=$?
    exit "$status"
fi
shift

# Starts the Secret Service with a fresh login keyring unlocked by the password.
eval "$(printf 'dravelin-test\n' | gnome-keyring-daemon --unlock --components=secrets)"
export GNOME_KEYRING_CONTROL
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
    sleep 0.05
done
"$@"
