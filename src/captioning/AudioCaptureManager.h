#pragma once

#include "base/PlatformError.h"
#include "captioning/AudioBuffer.h"
#include "captioning/AudioCaptureService.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

// Captures what the computer plays (the whole mix, one application, or an input device) as 16 kHz mono
// float buffers and hands each one to `onBuffer` on the capture thread. start, stop and setSource run on
// the main thread.
class AudioCaptureManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AudioCaptureManager)

public:
    static inline const QString errorDomain = QStringLiteral("AudioCapture");
    static constexpr int noDisplayCode = -10; // the sound server has no output device to capture
    static constexpr int startTimeoutCode = -11; // the sound server never said whether recording started
    // A sound server that takes the request and never answers must not hold every later start.
    static constexpr int startTimeoutMs = 5000;

    using Completion = std::function<void(std::optional<PlatformError> error)>;
    using BufferCallback = std::function<void(const AudioBuffer &buffer)>;
    using FailureCallback = std::function<void(const PlatformError &error)>;

    explicit AudioCaptureManager(std::shared_ptr<AudioCaptureService> service, QObject *parent = nullptr);
    ~AudioCaptureManager() override;

    // Completes on the main thread with no error once capture runs. Succeeds at once while running; a
    // start made while another is under way shares its outcome, so that one stream serves both. A start
    // the sound server has not answered within the timeout fails.
    void start(Completion completion);
    // Returns at once; the platform stream finishes stopping in the background. A start under way is
    // abandoned: its completions are dropped unanswered.
    void stop();
    void setStartTimeout(int milliseconds) { m_startTimeout.setInterval(milliseconds); }
    bool isRunning() const { return m_isRunning; }

    // What the next start captures. While capture runs, the new source is started beside the old one,
    // and buffers come from it as soon as it records; a source that cannot start ends capture through
    // onFailure. An input device the server does not have is replaced by the whole mix, and onFallback
    // says so.
    void setSource(const AudioSource &source);
    AudioSource source() const { return m_source; }
    // What the sound server offers, now and after every change, for as long as the token is held.
    std::shared_ptr<void> watchContent(AudioCaptureService::ContentHandler handler)
    {
        return m_service->watchContent(std::move(handler));
    }

    // The receiver of every buffer, called on the capture thread. May be replaced at any time, also
    // while buffers flow: a replacement waits for a delivery under way, so that once this returns the
    // old receiver is never called again.
    void setOnBuffer(BufferCallback callback);
    // Called on the main thread when a running stream fails by itself; the manager is stopped by then.
    void setOnFailure(FailureCallback callback);
    // Called on the main thread with the name of the captured application while it plays nothing, and
    // with an empty name when it plays again or capture stops.
    using WaitingCallback = std::function<void(const QString &application)>;
    void setOnWaiting(WaitingCallback callback) { m_onWaiting = std::move(callback); }
    // Called on the main thread with the name of the chosen input device while the whole mix is captured in
    // its place, and with an empty name when capture takes what was chosen again or stops.
    using FallbackCallback = std::function<void(const QString &missingInput)>;
    void setOnFallback(FallbackCallback callback) { m_onFallback = std::move(callback); }

    static PlatformError noDisplayError()
    {
        return PlatformError { errorDomain, noDisplayCode, QString(),
            QStringLiteral("Sonorel found no sound output device to listen to, so captions could not start. Connect "
                           "or turn on speakers or headphones, then start captions again.") };
    }

private:
    class Delivery;

    void contentArrived(const std::optional<AudioCaptureContent> &content, const std::optional<PlatformError> &error);
    // A stream for the current source on `content`, its buffers marked with a generation of their own.
    std::variant<std::shared_ptr<AudioCaptureStream>, PlatformError> makeStream(const AudioCaptureContent &content);
    void finishStart(const std::optional<PlatformError> &error);
    void abandonStartingStream();
    void beginSwitch();
    void abandonSwitch();
    void streamFailed(const std::shared_ptr<AudioCaptureStream> &stream, const PlatformError &error);
    void presenceChanged(const std::shared_ptr<AudioCaptureStream> &stream, bool present);
    void setWaiting(const QString &application);
    void setFallback(const QString &missingInput);

    std::shared_ptr<AudioCaptureService> m_service;
    std::shared_ptr<AudioCaptureStream> m_stream;
    // The stream being started, held here only: its start callback holds it weakly, so that a stream
    // the server never makes ready dies once it is abandoned.
    std::shared_ptr<AudioCaptureStream> m_startingStream;
    QTimer m_startTimeout;
    quint64 m_startAttempt = 0; // counts abandoned starts
    // The stream that is to replace the running one once it records.
    std::shared_ptr<AudioCaptureStream> m_switchingStream;
    quint64 m_switchAttempt = 0; // counts abandoned switches
    AudioSource m_source;
    AudioSource m_streamSource; // what m_stream captures
    QString m_waitingFor;
    WaitingCallback m_onWaiting;
    QString m_missingInput;
    FallbackCallback m_onFallback;
    bool m_isRunning = false;
    std::vector<Completion> m_pendingStarts;
    std::shared_ptr<Delivery> m_delivery;
    FailureCallback m_onFailure;
};
