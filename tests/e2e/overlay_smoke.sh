#!/bin/bash
# Starts the real sonorel on an X server (run under xvfb-run) with a stored overlay frame, checks that the
# overlay and its menu panel appear where the frame says, that a second launch hands over to the first
# and exits, and that SIGTERM ends it through the orderly path that writes the frame back.
set -u
sonorel="$1"
work=$(mktemp -d)
trap 'kill -KILL "${pid:-0}" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/config/ambrite" "$work/run"
chmod 700 "$work/run"
conf="$work/config/ambrite/sonorel.conf"
# Written as "123.0": the application writes doubles back as "123", which shows that it wrote them.
printf '[General]\noverlayFrameX=123.0\noverlayFrameY=145.0\noverlayFrameW=640.0\noverlayFrameH=230.0\n' > "$conf"
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HOME="$work" QT_QPA_PLATFORM=xcb
export QT_LOGGING_RULES="com.ambrite.sonorel.App.debug=true"
log="$work/log"

fail() { echo "FAIL: $*"; echo "--- log"; cat "$log"; echo "--- settings"; cat "$conf"; exit 1; }

# Polls for a condition for up to 20 s.
wait_for() {
    for _ in $(seq 1 200); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    return 1
}

"$sonorel" > "$log" 2>&1 &
pid=$!
wait_for 'grep -q "Overlay window ready size 640.000000x230.000000" "$log"' || fail "overlay not ready"
wait_for 'xwininfo -root -tree | grep "Live Captions" | grep -v menu | grep -q "640x230+123+145"' \
    || { xwininfo -root -tree; fail "overlay not mapped at 640x230+123+145"; }
# The menu panel: 32 by 32, right edge 8 in from the overlay's, bottom 8 above its top.
wait_for 'xwininfo -root -tree | grep "Live Captions menu" | grep -q "32x32+723+105"' \
    || { xwininfo -root -tree; fail "menu panel not at 32x32+723+105"; }

"$sonorel" > "$work/second.log" 2>&1
status=$?
[ $status -eq 0 ] || fail "second launch exited with $status"
grep -q "already running" "$work/second.log" || fail "second launch did not hand over"
wait_for 'grep -q "Another launch asked for the overlay" "$log"' || fail "first instance not asked"
[ "$(xwininfo -root -tree | grep -c '"Live Captions —')" -eq 1 ] || fail "more than one overlay"

kill -TERM $pid
wait $pid
status=$?
[ $status -eq 0 ] || fail "sonorel exited with $status after SIGTERM"
grep -q "Received signal 15" "$log" || fail "signal not handled"
grep -q "Application will terminate" "$log" || fail "termination sequence did not run"
grep -q "Persisting frame origin 123.000000,145.000000 size 640.000000x230.000000" "$log" || fail "frame not persisted"
for line in overlayFrameX=123 overlayFrameY=145 overlayFrameW=640 overlayFrameH=230; do
    grep -qx "$line" "$conf" || fail "settings lack $line"
done
echo "PASS: overlay at its stored frame, second launch handed over, frame written back on SIGTERM"
