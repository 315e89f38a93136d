#pragma once

#include "views/AudioSourceChoices.h"

class ObjectWillChange;

// What the command menus read and drive. The application delegate implements it; the views know no more
// of the application than this, so that they can be built and tested without it.
class AppCommands
{
public:
    virtual ~AppCommands() = default;

    // Sent before isCaptionsRunning or isClickThrough changes.
    virtual ObjectWillChange &appWillChange() = 0;

    virtual bool captionsRunning() const = 0;
    virtual bool clickThroughEnabled() const = 0;
    // Whether the overlay exists and is visible right now.
    virtual bool overlayVisible() const = 0;
    // Whether the session transcript holds any sentence to save.
    virtual bool hasTranscript() const = 0;

    virtual void startCaptions() = 0;
    virtual void stopCaptions() = 0;
    virtual void toggleOverlayVisibility() = 0;
    virtual void toggleClickThrough() = 0;
    // What captions listen to, and what could be chosen instead (see AudioSourceWatcher).
    virtual AudioSource audioSource() const = 0;
    virtual void setAudioSource(const AudioSource &source) = 0;
    virtual std::shared_ptr<void> watchAudioSources(AudioCaptureService::ContentHandler handler) = 0;
    virtual void saveTranscript() = 0;
    virtual void showSettings() = 0;
    virtual void showAbout() = 0;
    virtual void sendFeedback() = 0;
    virtual void followOnX() = 0;
    virtual void followOnYouTube() = 0;
    virtual void checkForUpdates() = 0;
    virtual void quit() = 0;
};
