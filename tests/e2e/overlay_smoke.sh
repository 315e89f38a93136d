#!/bin/bash
# Starts the real sonorel on an X server (run under xvfb-run) with the Openbox window manager and a stored
# overlay frame, and uses it as a person would, with xdotool: the overlay and its menu panel appear where
# the frame says, with their own titles and out of the taskbar; a second launch hands over to the first;
# click-through hands clicks to the window below, and once off the overlay takes them again; the menu
# button follows a drag while it happens; a resize that pauses before it moves is saved when it ends;
# Sonorel's own windows open above the overlay and take their clicks; the menu button stays on screen at
# the top edge; light mode without a compositor is drawn opaque; SIGTERM ends it through the orderly path
# that writes the frame back. First, with no display at all, it says so and exits with 1.
set -u
sonorel="$1"
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
mkdir -p "$work/config/ambrite" "$work/run"
chmod 700 "$work/run"
conf="$work/config/ambrite/sonorel.conf"
# Written as "123.0": the application writes doubles back as "123", which shows that it wrote them.
printf '[General]\noverlayFrameX=123.0\noverlayFrameY=145.0\noverlayFrameW=640.0\noverlayFrameH=230.0\ndarkMode=false\n' > "$conf"
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" HOME="$work" QT_QPA_PLATFORM=xcb
export PULSE_SERVER="unix:$work/no-sound-server"
export QT_LOGGING_RULES="com.ambrite.sonorel.App.debug=true"
log="$work/log"

fail() { echo "FAIL: $*"; echo "--- log"; cat "$log"; echo "--- settings"; cat "$conf"; xwininfo -root -tree; exit 1; }

source "$(dirname "$0")/windows.sh"
stored() { grep -x "overlayFrame$1=.*" "$conf" | cut -d= -f2; }

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$sonorel" > "$work/nodisplay.log" 2>&1
status=$?
[ $status -eq 1 ] || { cat "$work/nodisplay.log"; fail "with no display, exited with $status"; }
grep -q "^Sonorel needs a graphical desktop session" "$work/nodisplay.log" || fail "no plain message without a display"

openbox > "$work/openbox.log" 2>&1 &
pids+=($!)
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' || fail "openbox did not start"

"$sonorel" > "$log" 2>&1 &
pid=$!
pids+=($pid)
wait_for '[ "$(frame "Live Captions")" = 640x230+123+145 ]' || fail "overlay not mapped at 640x230+123+145"
# The menu panel: 32 by 32, right edge 8 in from the overlay's, bottom 8 above its top.
wait_for '[ "$(frame "Live Captions menu")" = 32x32+723+105 ]' || fail "menu panel not at 32x32+723+105"
for title in "Live Captions" "Live Captions menu"; do
    props=$(xprop -id "$(window "$title")" _NET_WM_NAME _NET_WM_STATE)
    echo "$props" | grep -qx "_NET_WM_NAME(UTF8_STRING) = \"$title\"" || fail "window manager shows title: $props"
    for state in SKIP_TASKBAR SKIP_PAGER; do
        echo "$props" | grep -q "_NET_WM_STATE_$state" || fail "\"$title\" lacks $state: $props"
    done
done

"$sonorel" > "$work/second.log" 2>&1
status=$?
[ $status -eq 0 ] || fail "second launch exited with $status"
grep -q "already running" "$work/second.log" || fail "second launch did not hand over"
wait_for 'grep -q "Another launch asked for the overlay" "$log"' || fail "first instance not asked"
[ "$(xwininfo -root -tree | grep -c '"Live Captions":')" -eq 1 ] || fail "more than one overlay"

# Click-through, from the menu: clicks on the overlay reach a window below it. Turned off again, the drag
# that follows shows that the overlay takes them once more.
button_x=739 button_y=121
xev -geometry 400x150+300+250 -event button > "$work/xev.log" 2>&1 &
pids+=($!)
wait_for 'xwininfo -root -tree | grep -q "Event Tester"' || fail "no window below"
# Picks the nth entry of the menu button's menu: Start Captions, Hide Overlay, Click-Through, Settings...,
# About, …
menu_entry() {
    xdotool mousemove $button_x $button_y click 1
    wait_for 'xwininfo -root -tree | grep -q "\"sonorel\": (\"sonorel\" \"sonorel\")"' || fail "menu did not open"
    for _ in $(seq 1 "$1"); do xdotool key Down; done
    xdotool key Return
    wait_for '! xwininfo -root -tree | grep -q "\"sonorel\": (\"sonorel\" \"sonorel\")"' || fail "menu did not close"
}
menu_entry 3
wait_for 'grep -q "Toggle click through new state true" "$log"' || fail "click-through not turned on"
sleep 0.5
xdotool mousemove 500 300 click 1
wait_for 'grep -q ButtonPress "$work/xev.log"' || fail "a click on the click-through overlay did not reach the window below"
menu_entry 3
wait_for 'grep -q "Toggle click through new state false" "$log"' || fail "click-through not turned off"
sleep 0.5

# A drag by the background: the window manager moves the overlay, and the button keeps up with it before
# the button is let go.
xdotool mousemove 400 260 sleep 0.2 mousedown 1
for step in 1 2 3 4 5 6; do xdotool mousemove $((400 + step * 20)) $((260 + step * 10)) sleep 0.1; done
wait_for 'xy=$(frame "Live Captions" | cut -d+ -f2-); [ "${xy%+*}" -gt 183 ] && [ "${xy#*+}" -gt 165 ]' \
    || fail "overlay not dragged (a press passed through it after Interact?): $(frame "Live Captions")"
sleep 0.3
xy=$(frame "Live Captions" | cut -d+ -f2-)
x=${xy%+*} y=${xy#*+}
wait_for '[ "$(frame "Live Captions menu")" = "32x32+$((x + 600))+$((y - 40))" ]' \
    || fail "menu button at $(frame "Live Captions menu") did not follow the drag to +$x+$y"
xdotool mouseup 1
wait_for '[ "$(stored X)" = "$x" ] && [ "$(stored Y)" = "$y" ]' || fail "dragged frame +$x+$y not saved"

# A resize at the right edge that rests 0.4 s before it moves: saved, and the button placed, at its end.
xdotool mousemove $((x + 637)) $((y + 100)) sleep 0.2 mousedown 1 sleep 0.4
for step in 1 2 3 4 5 6; do xdotool mousemove $((x + 637 + step * 20)) $((y + 100)) sleep 0.1; done
xdotool mouseup 1
wait_for 'w=$(stored W); [ -n "$w" ] && [ "$w" -gt 680 ]' || fail "resize after a pause not saved"
w=$(stored W)
[ "$(frame "Live Captions")" = "${w}x230+$x+$y" ] || fail "saved width $w is not the overlay's: $(frame "Live Captions")"
wait_for '[ "$(frame "Live Captions menu")" = "32x32+$((x + w - 40))+$((y - 40))" ]' \
    || fail "menu button not placed after the resize"
button_x=$((x + w - 40 + 16)) button_y=$((y - 40 + 16))

# Light mode without a compositor: the background is drawn opaque, not as the black that translucent pixels
# show without one. Read at the overlay's bottom-left corner, where no text is.
pixel=$(ffmpeg -loglevel error -f x11grab -video_size 1x1 -i "$DISPLAY+$((x + 2)),$((y + 227))" -frames:v 1 \
    -f rawvideo -pix_fmt rgb24 - | od -An -tu1 | tr -s ' ')
[ "$pixel" = " 255 255 255" ] || fail "light overlay without a compositor drawn as$pixel, not white"

# At the top edge of the screen, the menu button goes below the overlay rather than off the screen.
xdotool windowmove "$(window "Live Captions")" "$x" 0
wait_for '[ "$(frame "Live Captions menu")" = "32x32+$((x + w - 40))+238" ]' \
    || fail "menu button at $(frame "Live Captions menu") with the overlay at the top edge"
# Then over the middle of the screen, where Sonorel's other windows open.
place_overlay() {
    x=$1 y=$2
    xdotool windowmove "$(window "Live Captions")" $x $y
    wait_for '[ "$(frame "Live Captions menu")" = "32x32+$((x + w - 40))+$((y - 40))" ]' || fail "menu button did not follow"
    button_x=$((x + w - 40 + 16)) button_y=$((y - 40 + 16))
}

# The window on top at the middle of where a window and the overlay overlap.
on_top_where_overlapping() {
    local f o
    f=$(frame "$1") o=$(frame "Live Captions")
    local fw=${f%%x*} fh=${f#*x}; fh=${fh%%+*}; local fx=${f#*+}; fx=${fx%+*}; local fy=${f##*+}
    local left=$((fx > x ? fx : x)) top=$((fy > y ? fy : y))
    local right=$((fx + fw < x + w ? fx + fw : x + w)) bottom=$((fy + fh < y + 230 ? fy + fh : y + 230))
    [ $left -lt $right ] && [ $top -lt $bottom ] || fail "\"$1\" at $f does not overlap the overlay at $o"
    xdotool mousemove $(((left + right) / 2)) $(((top + bottom) / 2))
    sleep 0.2
    xwininfo -id "$(xdotool getmouselocation --shell | grep WINDOW | cut -d= -f2)" -tree | grep -q "\"$1\":" \
        || fail "the overlay covers \"$1\": $(xwininfo -root -tree)"
}

# The other windows carry exactly their own titles, and open above the overlay. Captions cannot start (no
# sound server answers at PULSE_SERVER), which brings the notice.
for entry in "5 560 Live Captions Settings" "6 400 About Sonorel" "1 400 Notice"; do
    title=${entry#* * }
    place_overlay 300 "$(echo "$entry" | cut -d' ' -f2)"
    menu_entry "${entry%% *}"
    wait_for 'xwininfo -root -tree | grep -q "\"$title\": (\"sonorel\""' || fail "no window titled \"$title\""
    props=$(xprop -id "$(window "$title")" _NET_WM_NAME)
    [ "$props" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] || fail "window manager shows title: $props"
    sleep 0.5
    on_top_where_overlapping "$title"
    if [ "$title" = "Live Captions Settings" ]; then
        # A click on "Keep Transcripts", over the overlay, reaches the setting.
        f=$(frame "$title")
        fx=${f#*+} fx=${fx%+*} fy=${f##*+}
        xdotool mousemove $((fx + 60)) $((fy + 535)) click 1
        wait_for 'grep -qx "keepTranscripts=true" "$conf"' || fail "a click on Keep Transcripts over the overlay was lost"
    fi
    xdotool windowclose "$(window "$title")" 2>/dev/null || xdotool key Escape
done

kill -TERM $pid
wait $pid
status=$?
[ $status -eq 0 ] || fail "sonorel exited with $status after SIGTERM"
grep -q "Application will terminate" "$log" || fail "termination sequence did not run"
for line in overlayFrameX=$x overlayFrameY=$y overlayFrameW=$w overlayFrameH=230; do
    grep -qx "$line" "$conf" || fail "settings lack $line"
done
echo "PASS: overlay at its stored frame under Openbox with its titles and out of the taskbar; second launch handed"\
    "over; click-through reached the window below; button followed a drag; paused resize saved; frame written on SIGTERM"
