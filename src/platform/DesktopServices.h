#pragma once

#include "CaptioningServices.h"

// The one place that picks the Linux backends of the captioning pipeline: permissions that are always
// granted, PulseAudio capture of the default output's monitor, and PocketSphinx recognition.
CaptioningServices makeDesktopCaptioningServices();
