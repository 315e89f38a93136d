#!/bin/bash
# Runs sonorel on an X server (under xvfb-run) with the accessibility bus of a private session bus, and
# reads it from outside with accessibility_probe.py, with a private sound server to play speech into.
set -u
sonorel="$1" probe="$2" speech="$3" soundserver="$4"
work=$(mktemp -d)
pids=()
# What the test started, with their children, newest first: Sonorel before the accessibility bus, or it
# would have the session bus start another, and the bus's own dbus-daemon with at-spi-bus-launcher, which
# leaves it running when killed outright. Each is asked to end, then made to; anything still running from
# the work folder afterwards fails the test.
tree() {
    local p
    for p in "$@"; do
        echo "$p"
        tree $(pgrep -P "$p")
    done
}
cleanup() {
    local status=$? i all left
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        all=$(tree "${pids[i]}")
        kill -TERM $all 2>/dev/null
        for _ in $(seq 50); do
            kill -0 $all 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL $all 2>/dev/null
    done
    "$soundserver" stop "$work/snd"
    if left=$(pgrep -a -f -- "$work/"); then
        echo "FAIL: still running after the test: $left"
        status=1
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
mkdir -p "$work/config" "$work/run" && chmod 700 "$work/run"
PULSE_SERVER=$("$soundserver" start "$work/snd") || { echo "FAIL: the sound server did not start"; exit 1; }
export PULSE_SERVER
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HOME="$work" QT_QPA_PLATFORM=xcb
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
/usr/libexec/at-spi-bus-launcher --launch-immediately > "$work/bus.log" 2>&1 &
pids+=($!)
# Asked without starting anything: a call to the bus itself would have the session bus start one.
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q "boolean true" && break
    sleep 0.1
done
"$sonorel" > "$work/log" 2>&1 &
pids+=($!)
/usr/bin/python3 "$probe" "$speech" || { echo "--- log"; tail -40 "$work/log"; exit 1; }
