#pragma once

#include "captioning/AudioCaptureService.h"

#include <QString>

#include <memory>

// Capture of what the computer plays through the PulseAudio client API (PipeWire answers it too):
// a record stream on the default output device's monitor, delivered on a threaded main loop named
// "system.audio.capture.queue". The stream follows the default output device when it changes.
// Completions and failures are delivered on the Qt main thread; the GUI thread only ever takes the
// main loop's lock for short, non-blocking calls.
class PulseAudioCaptureService final : public AudioCaptureService
{
public:
    static inline const QString errorDomain = QStringLiteral("PulseAudio");
    static constexpr const char *threadName = "system.audio.capture.queue";

    explicit PulseAudioCaptureService(QString clientName = QStringLiteral("Sonorel"));
    ~PulseAudioCaptureService() override;
    PulseAudioCaptureService(const PulseAudioCaptureService &) = delete;
    PulseAudioCaptureService &operator=(const PulseAudioCaptureService &) = delete;

    // The error for a libpulse error code, saying in plain words what it means for captions. Never code 0:
    // a failure for which libpulse recorded no cause is an unknown error, not "OK".
    static PlatformError error(int code);

    void getShareableContent(ContentCompletion completion) override;
    std::shared_ptr<void> watchContent(ContentHandler handler) override;
    std::shared_ptr<AudioCaptureStream> makeStream(const AudioCaptureConfiguration &configuration) override;

    class Core;

private:
    std::shared_ptr<Core> m_core;
};
