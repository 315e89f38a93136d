#pragma once

#include "base/PlatformError.h"
#include "captioning/AudioBuffer.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// What the sound system offers to capture from: its output devices, the default one first.
struct AudioCaptureContent {
    QStringList outputDevices;
};

// The audio a capture stream is asked for.
struct AudioCaptureConfiguration {
    QString outputDevice; // the output device whose mix is captured
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

    virtual ~AudioCaptureStream() = default;

    // The settings as the stream actually uses them.
    virtual AudioCaptureConfiguration configuration() const = 0;
    // Registers the receiver of the audio; an error when it cannot be added.
    virtual std::optional<PlatformError> addOutput(OutputHandler handler) = 0;
    virtual void setFailureHandler(FailureHandler handler) = 0;
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
    virtual std::shared_ptr<AudioCaptureStream> makeStream(const AudioCaptureConfiguration &configuration) = 0;
};
