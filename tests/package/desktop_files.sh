#!/bin/bash
# The files that desktops and software centres read, as they will be installed: the AppStream metainfo and
# the desktop entry pass their validators, the manual pages render without warnings, and the caption tool's
# manual page describes every option that its --help lists.
# Arguments: the folder of configured package files, the desktop entry, the sonorel-captions executable.
set -u
files="$1" entry="$2" captions="$3"
status=0
fail() { echo "FAIL: $*"; status=1; }

appstreamcli validate --no-net "$files"/*.metainfo.xml || fail "appstreamcli validate"
out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
for page in sonorel.1 sonorel-captions.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$files/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
done
help=$(QT_QPA_PLATFORM=offscreen "$captions" --help) || fail "sonorel-captions --help"
options=$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
[ "$(wc -l <<<"$options")" -ge 8 ] || fail "too few options in --help: $options"
page=$(MANWIDTH=200 man -l "$files/sonorel-captions.1" 2>/dev/null)
for option in $options; do
    grep -qE -- "(^|[ ,])$option( |,|$)" <<<"$page" || fail "sonorel-captions.1 lacks $option"
done
exit $status
