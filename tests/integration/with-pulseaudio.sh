#!/usr/bin/env bash
# Runs a command against a private PulseAudio daemon whose default source is a
# pipe: whatever the test writes into $DRAVELIN_TEST_MIC_FIFO (16 kHz mono
# float32, at the pace of real time) is what the microphone hears. A null sink
# "virt" is there for playback. Never touches the user's own sound server.
set -euo pipefail

runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime"
export HOME="$runtime"
export PULSE_SERVER="unix:$runtime/pulse/native"
unset PULSE_COOKIE

pulseaudio -n --daemonize=yes --exit-idle-time=-1 --disallow-exit --use-pid-file=yes \
    --log-target=file:"$runtime/pulseaudio.log" \
    -L "module-native-protocol-unix auth-anonymous=1" \
    -L "module-null-sink sink_name=virt" \
    -L module-always-sink 2>/dev/null

cleanup() {
    local status=$?
    if [ -f "$runtime/pulse/pid" ]; then
        local pid
        pid=$(cat "$runtime/pulse/pid")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.02
        done
    fi
    rm -rf "$runtime" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT

for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
done
export DRAVELIN_TEST_MIC_FIFO="$runtime/mic.fifo"
pactl load-module module-pipe-source source_name=testmic file="$DRAVELIN_TEST_MIC_FIFO" \
    format=float32le rate=16000 channels=1 source_properties=device.description=Test-Microphone >/dev/null
pactl set-default-source testmic

"$@"
