#pragma once

#include "base/PlatformError.h"
#include "captioning/AudioBuffer.h"
#include "settings/AudioSource.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

// An application that is playing sound now; several streams of one application are one entry. The names
// and descriptions here are printable (AudioSource::printable), and each source named here round-trips
// through the settings.
struct AudioApplication {
    QString name;
    QString iconName; // a freedesktop icon name, or empty
    friend bool operator==(const AudioApplication &, const AudioApplication &) = default;
};

// A device that records sound (a microphone, a line input); never the monitor of an output.
struct AudioInput {
    QString name; // the sound server's name for it
    QString description; // what people call it
    friend bool operator==(const AudioInput &, const AudioInput &) = default;
};

// What the sound system offers to capture from: its output devices, the default one first; the
// applications playing now, and the input devices, each sorted by what is shown for them.
struct AudioCaptureContent {
    QStringList outputDevices;
    QList<AudioApplication> applications;
    QList<AudioInput> inputs;

    bool hasApplication(const QString &name) const
    {
        return std::any_of(applications.cbegin(), applications.cend(), [&](const auto &a) { return a.name == name; });
    }
    const AudioInput *findInput(const QString &name) const
    {
        const auto found = std::find_if(inputs.cbegin(), inputs.cend(), [&](const auto &i) { return i.name == name; });
        return found == inputs.cend() ? nullptr : &*found;
    }
    friend bool operator==(const AudioCaptureContent &, const AudioCaptureContent &) = default;
};

// The audio a capture stream is asked for.
struct AudioCaptureConfiguration {
    QString outputDevice; // the output device whose mix is captured
    AudioSource source; // the whole mix, one application's streams, or an input device
    QString sourceLabel; // what the source is called in messages
    double sampleRate = 48000; // frames per second
    int channelCount = 2;
    bool excludesCurrentProcessAudio = true;
};

// One capture of an output device's mix. Created stopped; used on the main thread, except that the
// output handler runs on the service's capture thread.
class AudioCaptureStream
{
public:
    // Capture thread, once per buffer, one at a time. The buffer is a view of memory that the stream
    // owns; it is valid only until the handler returns.
    using OutputHandler = std::function<void(const AudioBuffer &buffer)>;
    // Main thread, on a later turn of its event loop; no error means success.
    using Completion = std::function<void(std::optional<PlatformError> error)>;
    // Main thread: the stream stopped by itself after it had started (server gone, device removed).
    using FailureHandler = std::function<void(const PlatformError &error)>;
    // Main thread: whether the captured application is playing (has streams); other sources always are.
    using PresenceHandler = std::function<void(bool present)>;

    virtual ~AudioCaptureStream() = default;

    // The settings as the stream actually uses them.
    virtual AudioCaptureConfiguration configuration() const = 0;
    // Registers the receiver of the audio; an error when it cannot be added.
    virtual std::optional<PlatformError> addOutput(OutputHandler handler) = 0;
    virtual void setFailureHandler(FailureHandler handler) = 0;
    virtual void setPresenceHandler(PresenceHandler) { }
    virtual void startCapture(Completion completion) = 0;
    // After the completion no more buffers are delivered.
    virtual void stopCapture(Completion completion) = 0;
};

// The platform's capture of what the computer plays.
class AudioCaptureService
{
public:
    // Main thread, on a later turn of its event loop: the content, or the error that kept the service
    // from answering (the sound server cannot be reached or refuses us).
    using ContentCompletion = std::function<void(
        const std::optional<AudioCaptureContent> &content, const std::optional<PlatformError> &error)>;

    virtual ~AudioCaptureService() = default;

    virtual void getShareableContent(ContentCompletion completion) = 0;
    // Calls `handler` on the main thread with the content now and after every change of it (an application
    // starts or stops playing, a device comes or goes) for as long as the returned token is held.
    using ContentHandler = std::function<void(const AudioCaptureContent &content)>;
    virtual std::shared_ptr<void> watchContent(ContentHandler handler) = 0;
    virtual std::shared_ptr<AudioCaptureStream> makeStream(const AudioCaptureConfiguration &configuration) = 0;
};
