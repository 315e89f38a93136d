#!/bin/bash
# The Wayland twin of the overlay smoke test: a headless Weston with XWayland, and the real sonorel started
# as a Wayland session starts it (WAYLAND_DISPLAY and DISPLAY set, QT_QPA_PLATFORM not). It must choose
# XWayland, put the overlay and its menu panel at the stored frame although Weston places windows itself,
# and write the frame back on SIGTERM after the overlay has moved. Without an X server it runs on Wayland.
set -u
sonorel="$1"
work=$(mktemp -d /tmp/sonorel-wl-XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
mkdir -p "$work/config/ambrite" "$work/run"
chmod 700 "$work/run"
conf="$work/config/ambrite/sonorel.conf"
printf '[General]\noverlayFrameX=123.0\noverlayFrameY=145.0\noverlayFrameW=640.0\noverlayFrameH=230.0\n' > "$conf"
unset QT_QPA_PLATFORM DISPLAY WAYLAND_DISPLAY
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HOME="$work" XDG_SESSION_TYPE=wayland
export PULSE_SERVER="unix:$work/no-sound-server"
export QT_LOGGING_RULES="com.ambrite.sonorel.App.debug=true"
log="$work/log"

fail() { echo "FAIL: $*"; echo "--- log"; cat "$log"; echo "--- weston"; cat "$work/weston.log"; echo "--- settings"; cat "$conf"; exit 1; }
source "$(dirname "$0")/windows.sh"

weston --backend=headless-backend.so --xwayland --socket=sonorel-wl --width=1280 --height=1024 \
    --log="$work/weston.log" > /dev/null 2>&1 &
pids+=($!)
wait_for 'grep -q "xserver listening on display" "$work/weston.log"' || fail "weston did not start XWayland"
export WAYLAND_DISPLAY=sonorel-wl DISPLAY=$(grep -o "xserver listening on display :[0-9]*" "$work/weston.log" | awk '{ print $NF }')

# Without an X server it runs on Wayland itself, and says once what that costs. (What the Wayland client
# library allocates outlives the exit; leaks are looked for in the runs through X.)
env -u DISPLAY ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$sonorel" > "$work/native.log" 2>&1 &
native=$!
pids+=($native)
wait_for 'grep -q "Overlay window ready" "$work/native.log"' || { cat "$work/native.log"; fail "without XWayland, no overlay"; }
kill -TERM $native
wait $native
status=$?
[ $status -eq 0 ] || { cat "$work/native.log"; fail "without XWayland, exited with $status after SIGTERM"; }
[ "$(grep -c "the overlay cannot be placed or kept on top" "$work/native.log")" -eq 1 ] \
    || { cat "$work/native.log"; fail "without XWayland, no single notice"; }
grep -qxE "overlayFrameX=123(\.0)?" "$conf" && grep -qxE "overlayFrameY=145(\.0)?" "$conf" || fail "a Wayland window, which cannot know its place, overwrote the stored one"

"$sonorel" > "$log" 2>&1 &
pid=$!
pids+=($pid)
wait_for 'grep -q "running through XWayland (xcb)" "$log"' || fail "did not choose XWayland"
wait_for '[ "$(frame "Live Captions")" = 640x230+123+145 ]' || fail "overlay at $(frame "Live Captions"), not 640x230+123+145"
wait_for '[ "$(frame "Live Captions menu")" = 32x32+723+105 ]' || fail "menu panel at $(frame "Live Captions menu")"

# Moved (as a drag moves it): the menu panel follows, and SIGTERM writes the new frame.
xdotool windowmove "$(window "Live Captions")" 300 200
wait_for '[ "$(frame "Live Captions menu")" = 32x32+900+160 ]' || fail "menu panel did not follow: $(frame "Live Captions menu")"
kill -TERM $pid
wait $pid
status=$?
[ $status -eq 0 ] || fail "sonorel exited with $status after SIGTERM"
for line in overlayFrameX=300 overlayFrameY=200 overlayFrameW=640 overlayFrameH=230; do
    grep -qx "$line" "$conf" || fail "settings lack $line"
done
echo "PASS: chose XWayland under Weston, overlay and menu panel at the stored frame, moved frame written on SIGTERM"
