#include "captioning/AudioCaptureManager.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <mutex>

namespace {

// The input device whose place the whole mix takes in a capture made for `chosen`, or nothing.
QString missingInput(const AudioSource &chosen, const AudioSource &captured)
{
    return chosen.kind == AudioSource::Kind::Input && captured.isSystem() ? chosen.name : QString();
}

} // namespace

// The receiver of captured buffers, shared with the streams' output handlers. The capture thread calls
// it under the lock so that the main thread can replace it, or drop its owner, without a race. Only the
// buffers of the current stream's generation pass: while one source replaces another, both record for
// a moment, and neither may interleave its audio with the other's.
class AudioCaptureManager::Delivery final
{
public:
    void set(BufferCallback callback)
    {
        std::lock_guard lock(m_mutex);
        m_callback = std::move(callback);
    }

    quint64 nextGeneration() { return ++m_lastGeneration; }
    quint64 lastGeneration() const { return m_lastGeneration; }
    void setCurrent(quint64 generation)
    {
        std::lock_guard lock(m_mutex);
        m_current = generation;
    }

    void deliver(const AudioBuffer &buffer, quint64 generation)
    {
        SLOG_DEBUG(lcAudio, "Delivered buffer frames %u", buffer.frameLength());
        std::lock_guard lock(m_mutex);
        if (m_callback && generation == m_current)
            m_callback(buffer);
    }

private:
    std::mutex m_mutex;
    BufferCallback m_callback;
    quint64 m_current = 0;
    quint64 m_lastGeneration = 0; // main thread only
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
    auto made = makeStream(*content);
    if (const auto *failure = std::get_if<PlatformError>(&made)) {
        finishStart(*failure);
        return;
    }
    const auto stream = std::get<std::shared_ptr<AudioCaptureStream>>(std::move(made));
    const std::weak_ptr<AudioCaptureStream> weakStream = stream;
    m_startingStream = stream;
    stream->startCapture([self = QPointer<AudioCaptureManager>(this), weakStream, source = m_source,
                             generation = m_delivery->lastGeneration()](std::optional<PlatformError> error) {
        const auto started = weakStream.lock();
        // An abandoned stream's late answer is nobody's news.
        if (!self || !started || started != self->m_startingStream)
            return;
        self->m_startingStream.reset();
        if (error) {
            self->finishStart(error);
            return;
        }
        self->m_delivery->setCurrent(generation);
        self->m_stream = started;
        self->m_streamSource = started->configuration().source;
        self->m_isRunning = true;
        SLOG_INFO(lcAudio, "Audio capture started");
        self->setFallback(missingInput(source, self->m_streamSource));
        self->finishStart(std::nullopt);
        // The source changed while this one was starting.
        if (self->m_isRunning && self->m_source != source)
            self->beginSwitch();
    });
}

std::variant<std::shared_ptr<AudioCaptureStream>, PlatformError> AudioCaptureManager::makeStream(
    const AudioCaptureContent &content)
{
    AudioCaptureConfiguration configuration;
    configuration.source = m_source;
    configuration.sourceLabel = m_source.name;
    if (m_source.kind == AudioSource::Kind::Input) {
        if (const AudioInput *input = content.findInput(m_source.name)) {
            configuration.sourceLabel = input->description;
        } else {
            SLOG_INFO(lcAudio, "Input device %s is not available; capturing all system sound", m_source.name);
            configuration.source = AudioSource::system();
        }
    }
    if (configuration.source.isSystem()) {
        if (content.outputDevices.isEmpty()) {
            SLOG_ERROR(lcAudio, "No displays available for capture");
            return noDisplayError();
        }
        configuration.outputDevice = content.outputDevices.first();
        configuration.sourceLabel.clear();
    }
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = 16000;
    configuration.channelCount = 1;

    std::shared_ptr<AudioCaptureStream> stream = m_service->makeStream(configuration);
    const AudioCaptureConfiguration used = stream->configuration();
    SLOG_DEBUG(
        lcAudio, "Configured stream sampleRate %ld channelCount %ld", long(used.sampleRate), long(used.channelCount));

    const quint64 generation = m_delivery->nextGeneration();
    if (auto addError = stream->addOutput(
            [delivery = m_delivery, generation](const AudioBuffer &buffer) { delivery->deliver(buffer, generation); }))
        return *addError;
    const std::weak_ptr<AudioCaptureStream> weakStream = stream;
    stream->setFailureHandler([self = QPointer<AudioCaptureManager>(this), weakStream](const PlatformError &error) {
        if (auto failed = weakStream.lock(); failed && self)
            self->streamFailed(failed, error);
    });
    stream->setPresenceHandler([self = QPointer<AudioCaptureManager>(this), weakStream](bool present) {
        if (auto changed = weakStream.lock(); changed && self)
            self->presenceChanged(changed, present);
    });
    return stream;
}

void AudioCaptureManager::setSource(const AudioSource &source)
{
    if (source == m_source)
        return;
    SLOG_INFO(lcAudio, "Audio source set to %s", source.settingValue());
    m_source = source;
    if (m_isRunning)
        beginSwitch();
}

void AudioCaptureManager::beginSwitch()
{
    abandonSwitch();
    m_service->getShareableContent([self = QPointer<AudioCaptureManager>(this), attempt = m_switchAttempt](
                                       const std::optional<AudioCaptureContent> &content,
                                       const std::optional<PlatformError> &error) {
        if (!self || self->m_switchAttempt != attempt || !self->m_isRunning)
            return;
        if (error || !content)
            return self->streamFailed(self->m_stream, error.value_or(PlatformError { errorDomain, 0, QString() }));
        auto made = self->makeStream(*content);
        if (const auto *failure = std::get_if<PlatformError>(&made))
            return self->streamFailed(self->m_stream, *failure);
        const auto stream = std::get<std::shared_ptr<AudioCaptureStream>>(std::move(made));
        self->m_switchingStream = stream;
        stream->startCapture([self, weakStream = std::weak_ptr(stream), source = self->m_source,
                                 generation = self->m_delivery->lastGeneration()](std::optional<PlatformError> error) {
            const auto started = weakStream.lock();
            if (!self || !started || started != self->m_switchingStream)
                return;
            self->m_switchingStream.reset();
            if (error)
                return self->streamFailed(self->m_stream, *error);
            // From here on the new stream's buffers pass and the old one's do not.
            self->m_delivery->setCurrent(generation);
            const auto old = std::exchange(self->m_stream, started);
            self->m_streamSource = started->configuration().source;
            if (self->m_streamSource.kind != AudioSource::Kind::Application)
                self->setWaiting(QString());
            self->setFallback(missingInput(source, self->m_streamSource));
            SLOG_INFO(lcAudio, "Audio source switched");
            if (old)
                old->stopCapture([old](std::optional<PlatformError>) {});
        });
    });
}

void AudioCaptureManager::abandonSwitch()
{
    ++m_switchAttempt;
    if (const auto stream = std::exchange(m_switchingStream, {}))
        stream->stopCapture([](std::optional<PlatformError>) {});
}

void AudioCaptureManager::presenceChanged(const std::shared_ptr<AudioCaptureStream> &stream, bool present)
{
    // A stream that is still starting, or replacing another, is the one that will be running.
    if (stream != m_stream && stream != m_startingStream && stream != m_switchingStream)
        return;
    setWaiting(present ? QString() : stream->configuration().source.name);
}

void AudioCaptureManager::setWaiting(const QString &application)
{
    if (application == m_waitingFor)
        return;
    m_waitingFor = application;
    if (!application.isEmpty())
        SLOG_INFO(lcAudio, "Waiting for %s to play", application);
    if (m_onWaiting)
        m_onWaiting(application);
}

void AudioCaptureManager::setFallback(const QString &missingInput)
{
    if (missingInput == m_missingInput)
        return;
    m_missingInput = missingInput;
    if (m_onFallback)
        m_onFallback(missingInput);
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
    abandonSwitch();
    setWaiting(QString());
    setFallback(QString());
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
    abandonSwitch();
    setWaiting(QString());
    setFallback(QString());
    if (const auto failed = std::exchange(m_stream, {}); failed && failed != stream)
        failed->stopCapture([failed](std::optional<PlatformError>) {});
    if (m_onFailure)
        m_onFailure(error);
}
