#pragma once

#include "captioning/CaptioningServices.h"

// The one place that picks the Linux backends of the captioning pipeline: permissions that are always
// granted, PulseAudio capture of the default output's monitor, and PocketSphinx recognition.
// `soundFrontEnd` off gives the recognizer the captured sound untreated (for measurements).
CaptioningServices makeDesktopCaptioningServices(bool soundFrontEnd = true);
