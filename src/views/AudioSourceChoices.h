#pragma once

#include "captioning/AudioCaptureService.h"

#include <QList>
#include <QString>

#include <optional>

// One line of the lists that offer what captions listen to: a heading, or a source to pick.
struct AudioSourceChoice {
    QString label;
    std::optional<AudioSource> source; // none: a heading
    bool isCurrent = false;
    QString iconName = {}; // a freedesktop icon name, or empty
};

// "All System Sound", then the playing applications, then the input devices, each group under its
// heading. The current choice is always offered, also while its application plays nothing ("(not
// playing)") or its device is missing ("(unavailable)").
QList<AudioSourceChoice> audioSourceChoices(const AudioCaptureContent &content, const AudioSource &current);

// What the views are given to learn the sources: a watch on the sound server's content, held as long
// as the returned token lives. May return null when nothing can be listed.
using AudioSourceWatcher = std::function<std::shared_ptr<void>(AudioCaptureService::ContentHandler handler)>;
