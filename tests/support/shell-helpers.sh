# Sourced by the shell tests.

# Ends the test with a message on standard error.
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# Waits (up to $2 tenths of a second) for a line matching $1 in $work/app.log,
# the log of the app a test started.
wait_log() {
    for _ in $(seq "${2:-100}"); do
        grep -q -- "$1" "$work/app.log" && return 0
        sleep 0.1
    done
    fail "no log line '$1'"
}

# Starts dravelin-server on a free loopback port with its data under DIR,
# waits until it answers, and points the programs at it. Sets server_pid and
# DRAVELIN_BASE_URL.
#   start_local_server SERVER DIR [more server options…]
start_local_server() {
    local binary=$1 dir=$2
    shift 2
    local port
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    run_local_server "$binary" "$dir" "$port" "$@"
}

# Stops the server started above and starts it again on the same port and
# data (sessions signed in before stay valid).
#   restart_local_server SERVER DIR [more server options…]
restart_local_server() {
    local binary=$1 dir=$2
    shift 2
    stop_local_server
    run_local_server "$binary" "$dir" "${DRAVELIN_BASE_URL##*:}" "$@"
}

stop_local_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}

run_local_server() {
    local binary=$1 dir=$2 port=$3
    shift 3
    "$binary" --port "$port" --data-dir "$dir" --quiet "$@" &
    server_pid=$!
    for _ in $(seq 200); do
        curl -sf "http://127.0.0.1:$port/health" >/dev/null 2>&1 && break
        sleep 0.05
    done
    export DRAVELIN_BASE_URL="http://127.0.0.1:$port"
}
