#include "AudioCaptureManager.h"

#include "Log.h"

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
{ }

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
    m_service->getShareableContent(
        [self = QPointer<AudioCaptureManager>(this)](
            const std::optional<AudioCaptureContent> &content, const std::optional<PlatformError> &error) {
            if (self)
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
    stream->startCapture([self = QPointer<AudioCaptureManager>(this), stream](std::optional<PlatformError> error) {
        if (!self)
            return;
        if (error) {
            self->finishStart(error);
            return;
        }
        self->m_stream = stream;
        self->m_isRunning = true;
        SLOG_INFO(lcAudio, "Audio capture started");
        self->finishStart(std::nullopt);
    });
}

void AudioCaptureManager::finishStart(const std::optional<PlatformError> &error)
{
    const auto waiting = std::exchange(m_pendingStarts, {});
    for (const auto &completion : waiting) {
        if (completion)
            completion(error);
    }
}

void AudioCaptureManager::stop()
{
    if (!m_isRunning)
        return;
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
