#pragma once

#include "captioning/CaptioningServices.h"

#include <QString>
#include <QStringList>

#include <functional>

// The one place that picks the Linux backends of the captioning pipeline: permissions that are always
// granted, PulseAudio capture of the default output's monitor, and recognition by Whisper where its model
// is installed, with PocketSphinx as the light engine and the fallback.
// `soundFrontEnd` off gives the recognizer the captured sound untreated (for measurements).
// `enginePreference` gives AppSettings::accurateEngine or lightEngine at each choice; by default the user's
// setting.
CaptioningServices makeDesktopCaptioningServices(
    bool soundFrontEnd = true, std::function<QString()> enginePreference = {});

// The locales either engine can recognise with the models installed when first asked.
QStringList desktopSupportedLocales();
