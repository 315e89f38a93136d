#include "captioning/AudioCaptureManager.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <mutex>

// The receiver of captured buffers, shared with the stream's output handler. The capture thread calls
// it under the lock so that the main thread can replace it, or drop its owner, without a race.
class AudioCaptureManager::Delivery final
{
public:
    void set(BufferCallback callback)
    {
        std::lock_guard lock(m_mutex);
        m_callback = std::move(callback);
    }

    void deliver(const AudioBuffer &buffer)
    {
        SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", buffer.frameLength());
        std::lock_guard lock(m_mutex);
        if (m_callback)
            m_callback(buffer);
    }

private:
    std::mutex m_mutex;
    BufferCallback m_callback;
};

AudioCaptureManager::AudioCaptureManager(std::shared_ptr<AudioCaptureService> service, QObject *parent)
    : QObject(parent), m_service(std::move(service)), m_delivery(std::make_shared<Delivery>())
{
    m_startTimeout.setSingleShot(true);
    m_startTimeout.setInterval(startTimeoutMs);
    connect(&m_startTimeout, &QTimer::timeout, this, [this] {
        SLOG_ERROR(lcAudio, "Audio capture start timed out");
        abandonStartingStream();
        finishStart(PlatformError { errorDomain, startTimeoutCode,
            QStringLiteral("The sound server did not start the recording within %1 seconds")
                .arg(m_startTimeout.interval() / 1000.0),
            QCoreApplication::translate("AudioCaptureManager",
                "The sound server did not start recording, so captions could not start. Start captions again; "
                "if this keeps happening, restart the sound server.") });
    });
}

AudioCaptureManager::~AudioCaptureManager()
{
    // A stream that outlives us must not call into our owner any more.
    m_delivery->set(nullptr);
}

void AudioCaptureManager::setOnBuffer(BufferCallback callback)
{
    m_delivery->set(std::move(callback));
}

void AudioCaptureManager::setOnFailure(FailureCallback callback)
{
    m_onFailure = std::move(callback);
}

void AudioCaptureManager::start(Completion completion)
{
    if (m_isRunning) {
        if (completion)
            completion(std::nullopt);
        return;
    }
    m_pendingStarts.push_back(std::move(completion));
    if (m_pendingStarts.size() > 1)
        return;

    SLOG_INFO(lcAudio, "Start capture requested");
    m_startTimeout.start();
    m_service->getShareableContent(
        [self = QPointer<AudioCaptureManager>(this), attempt = m_startAttempt](
            const std::optional<AudioCaptureContent> &content, const std::optional<PlatformError> &error) {
            // An answer to an abandoned start would make a second stream for the next one.
            if (self && self->m_startAttempt == attempt)
                self->contentArrived(content, error);
        });
}

void AudioCaptureManager::contentArrived(
    const std::optional<AudioCaptureContent> &content, const std::optional<PlatformError> &error)
{
    if (error || !content) {
        finishStart(error.value_or(PlatformError { errorDomain, 0, QStringLiteral("No shareable content") }));
        return;
    }
    if (content->outputDevices.isEmpty()) {
        SLOG_ERROR(lcAudio, "No displays available for capture");
        finishStart(noDisplayError());
        return;
    }

    AudioCaptureConfiguration configuration;
    configuration.outputDevice = content->outputDevices.first();
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = 16000;
    configuration.channelCount = 1;

    std::shared_ptr<AudioCaptureStream> stream = m_service->makeStream(configuration);
    const AudioCaptureConfiguration used = stream->configuration();
    SLOG_DEBUG(
        lcAudio, "Configured stream sampleRate %ld channelCount %ld", long(used.sampleRate), long(used.channelCount));

    if (auto addError
        = stream->addOutput([delivery = m_delivery](const AudioBuffer &buffer) { delivery->deliver(buffer); })) {
        finishStart(addError);
        return;
    }
    const std::weak_ptr<AudioCaptureStream> weakStream = stream;
    stream->setFailureHandler([self = QPointer<AudioCaptureManager>(this), weakStream](const PlatformError &error) {
        if (auto failed = weakStream.lock(); failed && self)
            self->streamFailed(failed, error);
    });
    m_startingStream = stream;
    stream->startCapture([self = QPointer<AudioCaptureManager>(this), weakStream](std::optional<PlatformError> error) {
        const auto started = weakStream.lock();
        // An abandoned stream's late answer is nobody's news.
        if (!self || !started || started != self->m_startingStream)
            return;
        self->m_startingStream.reset();
        if (error) {
            self->finishStart(error);
            return;
        }
        self->m_stream = started;
        self->m_isRunning = true;
        SLOG_INFO(lcAudio, "Audio capture started");
        self->finishStart(std::nullopt);
    });
}

void AudioCaptureManager::finishStart(const std::optional<PlatformError> &error)
{
    m_startTimeout.stop();
    const auto waiting = std::exchange(m_pendingStarts, {});
    for (const auto &completion : waiting) {
        if (completion)
            completion(error);
    }
}

void AudioCaptureManager::abandonStartingStream()
{
    ++m_startAttempt;
    if (const auto stream = std::exchange(m_startingStream, {}))
        stream->stopCapture([](std::optional<PlatformError>) {});
}

void AudioCaptureManager::stop()
{
    if (!m_isRunning) {
        if (!m_pendingStarts.empty()) {
            SLOG_INFO(lcAudio, "Abandoning capture start");
            m_startTimeout.stop();
            abandonStartingStream();
            m_pendingStarts.clear(); // dropped unanswered: their waiters resume with nothing
        }
        return;
    }
    // The task stops the stream of this stop only: a newer start may have stored another by the time
    // the old stream has finished stopping.
    QMetaObject::invokeMethod(
        this,
        [this, stopping = m_stream] {
            if (!stopping) {
                return;
            }
            stopping->stopCapture([self = QPointer<AudioCaptureManager>(this), stopping](std::optional<PlatformError>) {
                if (self && self->m_stream == stopping)
                    self->m_stream.reset();
            });
        },
        Qt::QueuedConnection);
    m_isRunning = false;
    SLOG_INFO(lcAudio, "Audio capture stopped");
}

void AudioCaptureManager::streamFailed(const std::shared_ptr<AudioCaptureStream> &stream, const PlatformError &error)
{
    if (stream != m_stream || !m_isRunning)
        return;
    SLOG_ERROR(lcAudio, "Audio capture failed %s", error.message());
    m_isRunning = false;
    m_stream.reset();
    if (m_onFailure)
        m_onFailure(error);
}
