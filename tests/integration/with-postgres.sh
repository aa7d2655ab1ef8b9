#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL cluster: initdb into a
# temporary directory, a server that listens only on a private Unix socket
# (no TCP), and its connection string in $DRAVELIN_TEST_POSTGRES. The cluster
# is stopped and removed when the command ends, whatever its result.
# PostgreSQL refuses to run as root, so under root the cluster runs as the
# "postgres" user (the Debian package creates it).
set -euo pipefail

bin=/usr/lib/postgresql/15/bin
if [ ! -x "$bin/initdb" ]; then
    bin=$(find /usr/lib/postgresql -maxdepth 2 -name bin -type d 2>/dev/null | sort -V | tail -n 1)
fi
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
    echo "with-postgres: no PostgreSQL server programs (install the postgresql package: scripts/setup)" >&2
    exit 1
fi

# Under /tmp whatever $TMPDIR says: the postgres user must reach it, and a
# socket path has at most 107 bytes.
root=$(mktemp -d /tmp/dravelin-pg.XXXXXX)
mkdir "$root/socket"
as=()
if [ "$(id -u)" -eq 0 ]; then
    if ! id postgres >/dev/null 2>&1; then
        echo "with-postgres: running as root, but there is no postgres user to run the cluster as" >&2
        rm -rf "$root"
        exit 1
    fi
    as=(runuser -u postgres --)
    chown -R postgres: "$root"
fi
chmod 700 "$root"

# The cluster's programs run from inside its directory: the caller's working
# directory may be closed to the postgres user.
pg() { (cd "$root" && "${as[@]}" "$@"); }

stopped=0
cleanup() {
    if [ "$stopped" -eq 0 ]; then
        stopped=1
        pg "$bin/pg_ctl" -D "$root/data" -m immediate stop >/dev/null 2>&1 || true
        rm -rf "$root"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Should this script be killed outright (a test timeout), a detached
# watchdog stops the cluster once this process is gone.
harness=$$
(setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
    if [ -d "$3" ]; then (cd "$3" && $4 "$2/pg_ctl" -D "$3/data" -m immediate stop) >/dev/null 2>&1; rm -rf "$3"; fi' \
    watchdog "$harness" "$bin" "$root" "${as[*]}" </dev/null >/dev/null 2>&1 &)

pg "$bin/initdb" -D "$root/data" -U dravelin --auth=trust --no-sync --no-locale -E UTF8 >"$root/initdb.log" 2>&1 || {
    cat "$root/initdb.log" >&2
    exit 1
}
if ! pg "$bin/pg_ctl" -D "$root/data" -l "$root/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$root/socket' -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
    start >/dev/null; then
    cat "$root/server.log" >&2
    exit 1
fi
pg "$bin/createdb" -h "$root/socket" -U dravelin dravelin

export DRAVELIN_TEST_POSTGRES="host=$root/socket user=dravelin dbname=dravelin"
# In the background, so a TERM or INT is acted on at once (and the cluster
# stopped) rather than after the command.
"$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null; exit 143' TERM
trap 'kill -INT "$child" 2>/dev/null; exit 130' INT
status=0
wait "$child" || status=$?
exit "$status"
