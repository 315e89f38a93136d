#!/usr/bin/python3
"""Reads sonorel's accessibility tree from outside, as a screen reader does, through AT-SPI.

Drives the app as a person would (xdotool on the menu button), plays speech into the sound server,
and checks that the caption is found by its name, holds the spoken words and announces its changes,
and that the menu button and the settings window's controls have names that can be spoken.
Exits 0 on success; prints what failed otherwise."""
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

speech = sys.argv[1]  # a recording whose transcript has the words below
words = ("dashwood", "leisure", "power")
events = []


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def pump(seconds, until=lambda: False):
    end = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while time.monotonic() < end and not until():
        while context.iteration(False):
            pass
        time.sleep(0.05)
    return until()


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app and app.name == "sonorel":
            return app
    return None


def find(root, predicate):
    return pyatspi.utils.findDescendant(root, predicate, True) if root else None


def named(name, role=None):
    return lambda node: node is not None and node.name == name and (role is None or node.getRole() == role)


if not pump(30, lambda: application() is not None):
    fail("sonorel is not on the accessibility bus")
app = application()
caption = None
if not pump(20, lambda: find(application(), named("Live captions")) is not None):
    fail("no accessible named \"Live captions\"")
caption = find(app, named("Live captions"))
button = find(app, named("Live Captions menu", pyatspi.ROLE_PUSH_BUTTON))
if button is None:
    fail("the menu button has no name a screen reader can speak")

pyatspi.Registry.registerEventListener(
    lambda event: events.append(event.type) if event.source and event.source.name == "Live captions" else None,
    "object:text-changed")

# Start Captions, the menu's first entry; then speech into the sound server.
extents = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
centre = (str(extents.x + extents.width // 2), str(extents.y + extents.height // 2))


def menu_entry(downs):
    subprocess.run(["xdotool", "mousemove", *centre, "click", "1", "sleep", "0.8"]
                   + ["key", "Down"] * downs + ["key", "Return"], check=True)


menu_entry(1)
player = subprocess.Popen(["paplay", speech])
text = lambda: caption.queryText().getText(0, -1).lower()
if not pump(90, lambda: all(word in text() for word in words)):
    fail("the caption's text lacks the spoken words: " + repr(text()))
player.wait()
if not events:
    fail("no text-changed events from the caption while captions ran")

# The settings window: every control has a name.
menu_entry(6)  # Settings..., past Caption From and Save Transcript... (enabled once there is text)
if not pump(20, lambda: find(application(), named("Live Captions Settings")) is not None):
    fail("the settings window did not open")
window = find(application(), named("Live Captions Settings"))
controls = pyatspi.utils.findAllDescendants(
    window, lambda n: n.getRole() in (pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_SLIDER, pyatspi.ROLE_CHECK_BOX))


def spoken_name(control):
    """What a screen reader announces a control as: its own name, except for a pop-up, whose name is
    its current value and whose label comes first through the labelled-by relation."""
    if control.getRole() != pyatspi.ROLE_COMBO_BOX:
        return control.name
    for relation in control.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY and relation.getNTargets():
            return relation.getTarget(0).name
    return control.name


# Named for what they set, not after the value they show.
names = sorted(spoken_name(c) for c in controls)
expected = sorted(["Select Language", "Recognition", "Audio Source", "Font Size", "Background Opacity", "Dark Mode", "Keep Transcripts", "Start at Login"])
if names != expected:
    fail("settings controls are named %s, not %s" % (names, expected))
print("PASS: caption found by name with the spoken words, %d text-changed events; menu button and %d settings "
      "controls named: %s" % (len(events), len(controls), ", ".join(names)))
