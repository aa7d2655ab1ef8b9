#!/usr/bin/env bash
# The account commands end to end, as a user runs them: sign in to a fresh
# dravelin-server (the consent page answered unattended), transcribe a spoken
# file both ways, dictate it through the server and on-device, lose the
# server mid-way and retry the dictation that waited on disk, come back in a
# new process still signed in (the session is in the keyring), sign out. Run it inside with-keyring.sh.
#   session-test.sh DRAVELIN_CLI DRAVELIN_SERVER
set -euo pipefail
cli=$1
server=$2
work=$(mktemp -d)
server_pid=
cleanup() {
    local status=$?
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
# shellcheck source=../../support/shell-helpers.sh
. "$(dirname "$0")/../../support/shell-helpers.sh"

start_local_server "$server" "$work/server"

# A backend file that cannot be used stops every backend command.
mkdir -p "$work/badconfig/dravelin"
echo '{"baseURL": ' >"$work/badconfig/dravelin/backend.json"
status=0
XDG_CONFIG_HOME="$work/badconfig" "$cli" sign-in --consent-as ada@example.com >"$work/out" 2>&1 || status=$?
[ "$status" = 2 ] || fail "sign-in with a broken backend.json exited $status: $(cat "$work/out")"
grep -q "backend.json is not a JSON object" "$work/out" || fail "broken backend.json: $(cat "$work/out")"

# Not signed in yet: status 4, for every command that needs a session.
status=0
"$cli" whoami >"$work/out" 2>&1 || status=$?
[ "$status" = 4 ] && grep -q "Not signed in" "$work/out" || fail "whoami before sign-in: $status $(cat "$work/out")"
status=0
"$cli" usage >"$work/out" 2>&1 || status=$?
[ "$status" = 4 ] && grep -q "dravelin-cli sign-in" "$work/out" || fail "usage before sign-in: $status $(cat "$work/out")"

# Usage errors are status 2 and say where to look; so are input files that
# cannot be used, refused before anything is signed in, sent or recorded, in
# plain words (never the pipeline's internal states).
expect_refusal() { # STATUS TEXT COMMAND…
    local want=$1 text=$2 status=0
    shift 2
    "$@" >"$work/out" 2>&1 || status=$?
    [ "$status" = "$want" ] || fail "$* exited $status, not $want: $(cat "$work/out")"
    grep -qF -- "$text" "$work/out" || fail "$*: no \"$text\" in: $(cat "$work/out")"
    if grep -q "error(\|notice(" "$work/out"; then fail "$* showed internals: $(cat "$work/out")"; fi
}
expect_refusal 2 "Unknown option 'bogus'" "$cli" whoami --bogus
expect_refusal 2 'There is no command "bogus"' "$cli" bogus
: >"$work/empty.wav"
echo "not audio" >"$work/text.wav"
expect_refusal 2 "There is no file $work/missing.wav" "$cli" dictate --file "$work/missing.wav"
expect_refusal 2 "$work/empty.wav is empty" "$cli" dictate --file "$work/empty.wav"
expect_refusal 2 "$work/text.wav cannot be used as audio" "$cli" dictate --file "$work/text.wav"
expect_refusal 2 "$work/text.wav cannot be used as audio" "$cli" transcribe "$work/text.wav"
expect_refusal 2 "--out takes a .m4a (AAC) or .wav (16-bit PCM) file name" "$cli" record --out "$work/take.ogg"
expect_refusal 2 "there is no folder $work/missing" "$cli" record --out "$work/missing/take.wav"

# A settings file with a typo is set aside under a name of its own, and the
# command says which file and why.
mkdir -p "$work/typo/dravelin"
printf '{"sounds.enabled": tru' >"$work/typo/dravelin/settings.json"
XDG_CONFIG_HOME="$work/typo" "$cli" info "$work/empty.wav" >"$work/out" 2>&1 || true
grep -q "settings.json could not be read (parse error at line 1" "$work/out" &&
    grep -q "set aside as $work/typo/dravelin/settings.json.corrupt-" "$work/out" ||
    fail "settings with a typo: $(cat "$work/out")"
ls "$work/typo/dravelin/settings.json.corrupt-"* >/dev/null || fail "the broken settings were not kept"

"$cli" sign-in --consent-as ada@example.com >"$work/out" 2>&1 || fail "sign-in: $(cat "$work/out")"
grep -q "Signed in as ada@example.com" "$work/out" || fail "sign-in: $(cat "$work/out")"
grep -q "/auth/v1/oauth/authorize?response_type=code" "$work/out" || fail "sign-in printed no URL"
if grep -q "will not be remembered" "$work/out"; then fail "keyring not used: $(cat "$work/out")"; fi

# A new process: the session comes back from the keyring.
"$cli" whoami >"$work/out" 2>&1 || fail "whoami after sign-in: $(cat "$work/out")"
grep -q "Signed in as ada@example.com" "$work/out" || fail "whoami: $(cat "$work/out")"

# The token for scripts, as the README's curl recipe uses it.
token=$("$cli" token) || fail "token"
curl -sf "$DRAVELIN_BASE_URL/functions/v1/ask" -H "Authorization: Bearer $token" \
    -H "Content-Type: application/json" -d '{"query": "directions to Lyon"}' >"$work/out" || fail "ask with the token"
grep -q '"kind":"action"' "$work/out" || fail "ask: $(cat "$work/out")"

espeak-ng -v en-us -s 140 -w "$work/speech.wav" "Hello world. This is a test of the server." 2>/dev/null
"$cli" transcribe "$work/speech.wav" >"$work/out" 2>&1 || fail "transcribe: $(cat "$work/out")"
grep -q "^text: .*[Hh]ello" "$work/out" || fail "transcribe: $(cat "$work/out")"
"$cli" transcribe --stream --cleanup "$work/speech.wav" >"$work/out" 2>&1 || fail "stream: $(cat "$work/out")"
grep -qi "^raw: .*hello" "$work/out" || fail "stream raw: $(cat "$work/out")"
grep -q "^cleaned: " "$work/out" || fail "stream cleaned: $(cat "$work/out")"

# A server that refuses the upload as too large, while it is still being
# sent: its reason reaches the user (status 1), not a broken connection.
echo '{"maxBodyBytes": 20000}' >"$work/small.json"
restart_local_server "$server" "$work/server" --config "$work/small.json"
expect_refusal 1 "The server answered 413: the request is larger than this server accepts (at most 20000 bytes" \
    "$cli" transcribe "$work/speech.wav"
restart_local_server "$server" "$work/server"

# record: a .wav is a WAV, and an input that is not there is named, not
# replaced by the default one.
pulse="$(dirname "$0")/../with-pulseaudio.sh"
expect_refusal 2 'There is no input "nope"' "$pulse" "$cli" record --device nope --seconds 1 --out "$work/take.wav"
# shellcheck disable=SC2016
"$pulse" bash -c 'head -c 64000 /dev/zero >"$DRAVELIN_TEST_MIC_FIFO" & exec "$0" record --seconds 1 --out "$1"' \
    "$cli" "$work/take.wav" >"$work/out" 2>&1 || fail "record: $(cat "$work/out")"
[ "$(head -c 4 "$work/take.wav")" = RIFF ] || fail "record --out take.wav did not write a WAV file"
# listen hears with the speech model of the user's settings, as the app does.
mkdir -p "$work/model/dravelin"
echo '{"stt.model": "not-installed"}' >"$work/model/dravelin/settings.json"
XDG_CONFIG_HOME="$work/model" "$pulse" "$cli" listen --seconds 1 --verbose >"$work/out" 2>&1 || fail "listen: $(cat "$work/out")"
if grep -q "^Listening with whisper" "$work/out"; then
    grep -q 'Whisper model "not-installed" is not installed' "$work/out" ||
        fail "listen did not use the settings' model: $(cat "$work/out")"
fi

# Whole dictations of the same file: streamed live to the server, then recognised in
# the app while the file plays (on-device; the final text must come within
# the recorder's 800 ms wait, or the road would fall back to the server).
"$cli" dictate --file "$work/speech.wav" >"$work/out" 2>&1 || fail "dictate: $(cat "$work/out")"
grep -q "^Dictated: .*[Hh]ello" "$work/out" || fail "dictate: $(cat "$work/out")"
grep -q "live_final" "$work/out" || fail "dictate did not stream live: $(cat "$work/out")"

# The server restarts in the middle of a live dictation: the socket is lost,
# and the recording goes by upload to the server that is back. The restart
# comes once the socket is up (however long a busy machine takes to get
# there), in a recording long enough to be still going then.
espeak-ng -v en-us -s 140 -w "$work/long.wav" \
    "Hello world. This is a test of the server, and it goes on for a while so that the server can go away." \
    2>/dev/null
"$cli" dictate --verbose --file "$work/long.wav" >"$work/out" 2>&1 &
dictating=$!
for _ in $(seq 300); do
    grep -q "live socket ready" "$work/out" && break
    sleep 0.1
done
grep -q "live socket ready" "$work/out" || fail "the live socket never opened: $(cat "$work/out")"
restart_local_server "$server" "$work/server"
wait "$dictating" || fail "dictate across a server restart: $(cat "$work/out")"
grep -q "^Dictated: .*go away" "$work/out" || fail "dictate across a server restart: $(cat "$work/out")"
grep -q "network" "$work/out" || fail "no upload after the live socket was lost: $(cat "$work/out")"

# whoami without a server: what this machine remembers, and that the server
# could not confirm it (exit 3).
stop_local_server
status=0
"$cli" whoami >"$work/out" 2>&1 || status=$?
[ "$status" = 3 ] || fail "whoami without a server exited $status: $(cat "$work/out")"
grep -q "Signed in as ada@example.com" "$work/out" && grep -q "could not confirm it" "$work/out" ||
    fail "whoami without a server: $(cat "$work/out")"
expect_refusal 3 "Could not fetch the usage figures" "$cli" usage
restart_local_server "$server" "$work/server"

# The server goes away: the dictation waits on disk, and a retry once the
# server is back delivers it and empties the queue.
stop_local_server
expect_refusal 3 "The recording is kept; send it again with \`dravelin-cli retry\`" \
    "$cli" dictate --file "$work/speech.wav"
grep -q "Network error" "$work/out" || fail "dictate without a server: $(cat "$work/out")"
"$cli" pending >"$work/out" 2>&1 || fail "pending: $(cat "$work/out")"
grep -q "^1 recording(s) waiting" "$work/out" || fail "pending: $(cat "$work/out")"
grep -q "1 failed attempt(s)  last: Network error" "$work/out" || fail "pending: $(cat "$work/out")"
restart_local_server "$server" "$work/server"
"$cli" retry >"$work/out" 2>&1 || fail "retry: $(cat "$work/out")"
grep -q "^Delivered 1; done" "$work/out" || fail "retry: $(cat "$work/out")"
"$cli" pending >"$work/out" 2>&1 || fail "pending after retry: $(cat "$work/out")"
grep -q "^No recordings waiting" "$work/out" || fail "pending after retry: $(cat "$work/out")"
mkdir -p "$work/config/dravelin"
echo '{"stt.preferCloud": false}' >"$work/config/dravelin/settings.json"
XDG_CONFIG_HOME="$work/config" "$cli" dictate --file "$work/speech.wav" >"$work/out" 2>&1 ||
    fail "on-device dictate: $(cat "$work/out")"
grep -q "on_device_stt" "$work/out" || fail "dictate did not stay on-device: $(cat "$work/out")"
if curl -sf "$DRAVELIN_BASE_URL/health" | grep -q whisper; then
    grep -q "^Dictated: .*[Hh]ello" "$work/out" || fail "on-device dictate: $(cat "$work/out")"
fi

# The personal vocabulary: added, listed, removed; its active terms land in
# the settings the dictations read, and they steer recognition on the upload
# road (the server reads the user's terms) and on the live road (the app
# sends them with the socket).
espeak-ng -v en-us -s 140 -w "$work/name.wav" "Please send it to Dravelin today." 2>/dev/null
"$cli" transcribe "$work/name.wav" >"$work/before" 2>&1 || fail "transcribe: $(cat "$work/before")"
"$cli" vocab add Dravelin >"$work/out" 2>&1 || fail "vocab add: $(cat "$work/out")"
if curl -sf "$DRAVELIN_BASE_URL/health" | grep -q whisper; then
    "$cli" transcribe "$work/name.wav" >"$work/out" 2>&1 || fail "transcribe: $(cat "$work/out")"
    grep -q "^text: .*Dravelin" "$work/out" ||
        fail "the vocabulary did not steer the upload: before '$(cat "$work/before")', after '$(cat "$work/out")'"
    grep -q "Dravelin" "$work/before" && fail "the test sentence was right without the vocabulary"
    "$cli" dictate --file "$work/name.wav" >"$work/out" 2>&1 || fail "dictate: $(cat "$work/out")"
    grep -q "^Dictated: .*Dravelin" "$work/out" || fail "the vocabulary did not steer the live road: $(cat "$work/out")"
fi
"$cli" vocab add brb --replacement "be right back" >"$work/out" 2>&1 || fail "vocab add: $(cat "$work/out")"
"$cli" vocab list >"$work/out" 2>&1 || fail "vocab list: $(cat "$work/out")"
grep -q "Dravelin" "$work/out" && grep -q "brb → be right back" "$work/out" || fail "vocab list: $(cat "$work/out")"
grep -q '"vocabulary.keyterms.active"' "$XDG_CONFIG_HOME/dravelin/settings.json" ||
    fail "no active terms in the settings: $(cat "$XDG_CONFIG_HOME/dravelin/settings.json")"
"$cli" vocab remove dravelin >"$work/out" 2>&1 || fail "vocab remove: $(cat "$work/out")"
"$cli" vocab list >"$work/out" 2>&1 || fail "vocab list: $(cat "$work/out")"
if grep -q "Dravelin" "$work/out"; then fail "vocab remove left it: $(cat "$work/out")"; fi

# Administration: refused until the operator grants the role; then the
# dashboard counts this session's dictations, and an account can be disabled.
if "$cli" admin >"$work/out" 2>&1; then fail "admin before the grant succeeded: $(cat "$work/out")"; fi
grep -q "Administrator access is required." "$work/out" || fail "admin refusal: $(cat "$work/out")"
"$server" --data-dir "$work/server" --quiet admin grant ada@example.com >"$work/out" 2>&1 ||
    fail "admin grant: $(cat "$work/out")"
"$server" --data-dir "$work/server" --quiet admin grant bob@example.com >/dev/null 2>&1
"$server" --data-dir "$work/server" --quiet admin revoke bob@example.com >/dev/null 2>&1
"$server" --data-dir "$work/server" --quiet admin list >"$work/out" 2>&1
[ "$(cat "$work/out")" = "ada@example.com" ] || fail "admin list: $(cat "$work/out")"
"$cli" admin >"$work/out" 2>&1 || fail "admin: $(cat "$work/out")"
grep -q "^Users: 2 (1 active" "$work/out" && grep -q "^Dictations: [1-9]" "$work/out" &&
    grep -q "^ada@example.com .* active .*(admin)" "$work/out" || fail "admin dashboard: $(cat "$work/out")"
"$cli" admin disable bob@example.com >"$work/out" 2>&1 || fail "admin disable: $(cat "$work/out")"
"$cli" admin >"$work/out" 2>&1 || fail "admin: $(cat "$work/out")"
grep -q "^bob@example.com .* disabled" "$work/out" || fail "bob not disabled: $(cat "$work/out")"

"$cli" sign-out >"$work/out" 2>&1 || fail "sign-out: $(cat "$work/out")"
grep -q "Signed out" "$work/out" || fail "sign-out: $(cat "$work/out")"
if "$cli" whoami >"$work/out" 2>&1; then fail "whoami after sign-out succeeded"; fi
expect_refusal 4 "Not signed in. Run \`dravelin-cli sign-in\` first." "$cli" transcribe "$work/speech.wav"

# Each run left its lines in the command line's own log, beside the app's.
grep -q "dravelin-cli .*: sign-out" "${XDG_STATE_HOME:-$HOME/.local/state}/dravelin/dravelin-cli.log" ||
    fail "no dravelin-cli.log"
echo "account commands: all steps passed"
