# Sourced by with-desktop.sh and with-wayland.sh inside their private D-Bus
# session: the services both kinds of test desktop start the same way.

# The accessibility bus must be up before applications start, or they do not
# register on it.
start_accessibility_bus() {
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
    export QT_ACCESSIBILITY=1
}

# An unlocked Secret Service (gnome-keyring) storing under XDG_DATA_HOME. Sets
# keyring_pid; the caller ends the daemon with its session.
start_keyring() {
    # Its standard error must not keep the caller's output open (CTest waits
    # for it).
    eval "$(printf 'dravelin-test\n' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)"
    export GNOME_KEYRING_CONTROL
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
            grep -q "boolean true" && break
        sleep 0.05
    done
    # This session's daemon, asked of its bus: other tests running beside this
    # one have keyrings of their own.
    keyring_pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets 2>/dev/null |
        awk '/uint32/ {print $2}')
}
