# Helpers shared by the window smoke tests, sourced by them: polling and reading windows off the X server.

# Polls for a condition for up to 30 s, generous for a busy machine.
wait_for() {
    for _ in $(seq 1 300); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    return 1
}
window() { xwininfo -root -tree | grep "\"$1\":" | awk '{ print $1 }'; }
# A window's size and place on the screen, as "640x230+123+145".
frame() { xwininfo -root -tree | grep "\"$1\":" | awk '{ split($(NF-1), s, "+"); print s[1] $NF }'; }
