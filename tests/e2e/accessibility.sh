#!/bin/bash
# Runs sonorel on an X server (under xvfb-run) with the accessibility bus of a private session bus, and
# reads it from outside with accessibility_probe.py, with a private sound server to play speech into.
set -u
sonorel="$1" probe="$2" speech="$3" soundserver="$4"
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; "$soundserver" stop "$work/snd"; rm -rf "$work"' EXIT
mkdir -p "$work/config" "$work/run" && chmod 700 "$work/run"
PULSE_SERVER=$("$soundserver" start "$work/snd") || { echo "FAIL: the sound server did not start"; exit 1; }
export PULSE_SERVER
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HOME="$work" QT_QPA_PLATFORM=xcb
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
/usr/libexec/at-spi-bus-launcher --launch-immediately > "$work/bus.log" 2>&1 &
pids+=($!)
sleep 1
"$sonorel" > "$work/log" 2>&1 &
pids+=($!)
/usr/bin/python3 "$probe" "$speech" || { echo "--- log"; tail -40 "$work/log"; exit 1; }
