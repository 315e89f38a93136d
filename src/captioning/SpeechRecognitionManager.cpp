#include "captioning/SpeechRecognitionManager.h"

#include "base/Log.h"
#include "captioning/AudioFormatConverter.h"
#include "captioning/SpeechEngine.h"
#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

const QString speechDomain = QStringLiteral("Speech");

} // namespace

// Results of the tasks' threads for the main thread. The values cross under the mailbox's lock (a hand-over
// that race detectors see); the queued call that brings the main thread to collect them carries nothing.
class SpeechRecognitionManager::Mailbox final : public QObject
{
public:
    explicit Mailbox(SpeechRecognitionManager *manager) : m_manager(manager) { }

    // Any thread. `from` is the task that reported; a report of a task stopped by the time it is
    // collected is dropped.
    void post(std::weak_ptr<HandlerState> from, std::optional<QString> text, std::optional<QString> error,
        std::optional<TimedSentence> sentence = std::nullopt, std::optional<QString> notice = std::nullopt)
    {
        push({ std::move(from), std::move(text), std::move(error), std::move(sentence), std::move(notice), {} });
    }
    // Any thread. `then` runs on the main thread after everything posted before it.
    void post(std::weak_ptr<HandlerState> from, std::function<void(SpeechRecognitionManager &)> then)
    {
        push({ std::move(from), std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::move(then) });
    }

private:
    struct Report {
        std::weak_ptr<HandlerState> from;
        std::optional<QString> text;
        std::optional<QString> error;
        std::optional<TimedSentence> sentence;
        std::optional<QString> notice;
        std::function<void(SpeechRecognitionManager &)> then;
    };

    void push(Report report)
    {
        bool schedule = false;
        {
            std::lock_guard lock(m_mutex);
            m_pending.push_back(std::move(report));
            schedule = !std::exchange(m_scheduled, true);
        }
        if (schedule)
            QMetaObject::invokeMethod(this, &Mailbox::collect, Qt::QueuedConnection);
    }

    // Main thread, where the manager lives and dies.
    void collect()
    {
        std::vector<Report> reports;
        {
            std::lock_guard lock(m_mutex);
            reports.swap(m_pending);
            m_scheduled = false;
        }
        for (const Report &report : reports) {
            const auto state = report.from.lock();
            if (!m_manager || !state || state->stopped.load())
                continue;
            if (report.text)
                m_manager->latestText = *report.text;
            if (report.error)
                m_manager->latestError = *report.error;
            if (report.sentence)
                Q_EMIT m_manager->sentenceFinished(*report.sentence);
            if (report.notice)
                m_manager->latestNotice = *report.notice;
            if (report.then)
                report.then(*m_manager);
        }
    }

    QPointer<SpeechRecognitionManager> m_manager;
    std::mutex m_mutex;
    std::vector<Report> m_pending;
    bool m_scheduled = false;
};

SpeechRecognitionManager::SpeechRecognitionManager(
    std::shared_ptr<SpeechEngine> engine, AppSettings &settings, QObject *parent)
    : QObject(parent), m_engine(std::move(engine)), m_settings(settings),
      // Released on another thread (the last report may hold it), it is deleted on its own.
      m_mailbox(new Mailbox(this), [](Mailbox *mailbox) {
          if (mailbox->thread() == QThread::currentThread())
              delete mailbox;
          else
              mailbox->deleteLater();
      })
{
    setupRecognizer();
    SLOG_INFO(lcSpeech, "Speech manager init");
    // The store notifies before it stores the new value; running the handler on a later turn of the
    // event loop lets it read the settings as they stand after the change. The queued call is bound to
    // this object, so it is dropped once the manager is gone.
    cancellables.push_back(m_settings.objectWillChange.subscribeOn(this, [this] { settingsChanged(); }));
}

SpeechRecognitionManager::~SpeechRecognitionManager() = default;

std::shared_ptr<SpeechRecognizer> SpeechRecognitionManager::recognizer() const
{
    return m_recognizer;
}

void SpeechRecognitionManager::settingsChanged()
{
    SLOG_INFO(lcSpeech, "Settings changed, reconfiguring recognizer");
    setupRecognizer();
}

void SpeechRecognitionManager::setupRecognizer()
{
    const QString localeIdentifier = m_settings.selectedLanguage();
    SLOG_DEBUG(lcSpeech, "Setting up recognizer for locale %s", localeIdentifier);
    std::shared_ptr<SpeechRecognizer> newRecognizer = m_engine ? m_engine->recognizer(localeIdentifier) : nullptr;

    const QString oldIdentifier = m_recognizer ? m_recognizer->localeIdentifier() : QStringLiteral("none");
    const bool hadTask = m_task && !m_stopping;
    const QString newIdentifier = newRecognizer ? newRecognizer->localeIdentifier() : QStringLiteral("nil");
    const QString oldEngine = m_recognizer ? m_recognizer->engineName() : QString();
    const QString newEngine = newRecognizer ? newRecognizer->engineName() : QString();
    const bool changed = !newRecognizer || newIdentifier != oldIdentifier || newEngine != oldEngine;
    if (changed) {
        if (newIdentifier != oldIdentifier)
            SLOG_INFO(lcSpeech, "Locale changed from %s to %s", oldIdentifier, newIdentifier);
        else
            SLOG_INFO(lcSpeech, "Engine changed from %s to %s", oldEngine, newEngine);
        stop();
    }

    m_recognizer = std::move(newRecognizer);

    if (hadTask && changed) {
        SLOG_INFO(lcSpeech, "Restarting task after locale change");
        // A failed restart is deliberately silent: the stop above emptied latestError, and no text
        // arrives until captioning is started again.
        (void)start();
    }
}

std::optional<PlatformError> SpeechRecognitionManager::start()
{
    if (m_stopping)
        stop();
    if (m_task) {
        SLOG_DEBUG(lcSpeech, "Start ignored, task already running");
        return std::nullopt;
    }

    setupRecognizer();
    m_handlerState = std::make_shared<HandlerState>();

    auto request = std::make_shared<SpeechAudioRequest>();
    request->requiresOnDeviceRecognition = true;
    request->shouldReportPartialResults = m_reportsPartialResults;
    request->sentenceHandler = [weakMailbox = std::weak_ptr<Mailbox>(m_mailbox),
                                   weakState = std::weak_ptr<HandlerState>(m_handlerState)](const TimedSentence &s) {
        const auto state = weakState.lock();
        const auto mailbox = weakMailbox.lock();
        if (state && !state->stopped.load() && mailbox)
            mailbox->post(weakState, std::nullopt, std::nullopt, s);
    };
    request->noticeHandler = [weakMailbox = std::weak_ptr<Mailbox>(m_mailbox),
                                 weakState = std::weak_ptr<HandlerState>(m_handlerState)](const QString &notice) {
        SLOG_ERROR(lcSpeech, "Recognition notice %s", notice);
        const auto state = weakState.lock();
        const auto mailbox = weakMailbox.lock();
        if (state && !state->stopped.load() && mailbox)
            mailbox->post(weakState, std::nullopt, std::nullopt, std::nullopt, notice);
    };
    setRequest(request);

    if (!m_recognizer) {
        SLOG_ERROR(lcSpeech, "Recognizer unavailable for selected language");
        return PlatformError { speechDomain, noRecognizerCode,
            QStringLiteral("Speech recognizer not available for selected language"),
            QCoreApplication::translate("SpeechRecognitionManager",
                "Sonorel has no speech model for the selected language, so captions could not start. "
                "Install a speech model for it, or choose another language in Settings.") };
    }
    if (!m_recognizer->isAvailable()) {
        SLOG_ERROR(lcSpeech, "Recognizer not available, status offline");
        return PlatformError { speechDomain, recognizerUnavailableCode,
            QStringLiteral("Speech recognizer not available"),
            QCoreApplication::translate("SpeechRecognitionManager",
                "The speech model for the selected language could not be loaded, so captions could not "
                "start. Reinstall the model, or choose another language in Settings.") };
    }

    SLOG_INFO(lcSpeech, "Starting recognition task locale %s", m_recognizer->localeIdentifier());
    const std::weak_ptr<Mailbox> weakMailbox = m_mailbox;
    const std::weak_ptr<HandlerState> weakState = m_handlerState;
    auto handler = [weakMailbox, weakState](const std::optional<QString> &text, const std::optional<QString> &error) {
        const auto state = weakState.lock();
        const auto mailbox = weakMailbox.lock();
        if (!state || state->stopped.load() || !mailbox)
            return;
        if (text)
            SLOG_DEBUG(lcSpeech, "Recognition update chars %ld", qint64(text->size()));
        if (error)
            SLOG_ERROR(lcSpeech, "Recognition error %s", *error);
        mailbox->post(weakState, text, error);
    };
    m_taskStart = QDateTime::currentDateTime();
    m_task = m_recognizer->recognitionTask(request, std::move(handler));
    SLOG_DEBUG(lcSpeech, "Recognition task created");
    return std::nullopt;
}

void SpeechRecognitionManager::stop()
{
    SLOG_INFO(lcSpeech, "Stopping recognition");
    m_handlerState->stopped.store(true);
    if (const auto request = currentRequest())
        request->endAudio();
    if (m_task) {
        m_task->cancel();
        m_task.reset();
    }
    setRequest(nullptr);
    latestError = QString();
    m_stopping = false;
    // Nothing more comes from the task: whoever waits for its sentence is answered now.
    for (const auto &pending : std::exchange(m_pendingFinishes, {})) {
        if (*pending)
            (*pending)();
    }
}

void SpeechRecognitionManager::finishSentence(std::function<void()> done)
{
    if (!m_task) {
        if (done)
            done();
        return;
    }
    auto pending = std::make_shared<std::function<void()>>(std::move(done));
    m_pendingFinishes.push_back(pending);
    const std::weak_ptr<std::function<void()>> weakPending = pending;
    // The answer comes through the mailbox, after the sentence and text that the task reported before it.
    m_task->finishSentence([weakMailbox = std::weak_ptr<Mailbox>(m_mailbox),
                               weakState = std::weak_ptr<HandlerState>(m_handlerState), weakPending] {
        if (const auto mailbox = weakMailbox.lock())
            mailbox->post(weakState,
                [weakPending](SpeechRecognitionManager &manager) { manager.completeFinish(weakPending.lock()); });
    });
    QTimer::singleShot(finishWaitMs, this, [this, weakPending] {
        if (const auto late = weakPending.lock()) {
            SLOG_ERROR(lcSpeech, "Recognizer did not finish the sentence within %d ms", finishWaitMs);
            completeFinish(late);
        }
    });
}

void SpeechRecognitionManager::stopAfterSentence(std::function<void()> stopped)
{
    m_stopping = bool(m_task);
    finishSentence([this, stopped = std::move(stopped)] {
        stop();
        if (stopped)
            stopped();
    });
}

void SpeechRecognitionManager::completeFinish(const std::shared_ptr<std::function<void()>> &pending)
{
    const auto it = std::find(m_pendingFinishes.begin(), m_pendingFinishes.end(), pending);
    if (!pending || it == m_pendingFinishes.end())
        return;
    m_pendingFinishes.erase(it);
    if (*pending)
        (*pending)();
}

std::size_t SpeechRecognitionManager::pendingFrames() const
{
    const auto request = currentRequest();
    return request ? request->queuedFrames() : 0;
}

void SpeechRecognitionManager::endAudio()
{
    if (m_task)
        m_task->endAudio();
    else if (const auto request = currentRequest())
        request->endAudio();
}

bool SpeechRecognitionManager::hasFinishedAudio() const
{
    const auto request = currentRequest();
    return request && request->isFinished();
}

std::shared_ptr<SpeechAudioRequest> SpeechRecognitionManager::currentRequest() const
{
    std::lock_guard lock(m_requestMutex);
    return m_request;
}

void SpeechRecognitionManager::setRequest(std::shared_ptr<SpeechAudioRequest> request)
{
    std::shared_ptr<SpeechAudioRequest> old;
    {
        std::lock_guard lock(m_requestMutex);
        old = std::exchange(m_request, std::move(request));
    }
    // `old` is released outside the lock: it may hold seconds of queued audio.
}

void SpeechRecognitionManager::append(const AudioBuffer &buffer)
{
    const std::shared_ptr<SpeechAudioRequest> request = currentRequest();
    if (!request) {
        SLOG_DEBUG(lcSpeech, "Append ignored, no active request");
        return;
    }

    if (buffer.format() == m_targetFormat) {
        // The request copies the samples: the caller's memory is only lent for this call.
        if (const float *samples = buffer.floatChannelData(0); samples && buffer.frameLength() > 0)
            request->append(samples, buffer.frameLength());
        return;
    }

    if (!AudioFormatConverter::outputCapacity(
            buffer.format().sampleRate, m_targetFormat.sampleRate, buffer.frameLength())) {
        SLOG_ERROR(lcSpeech, "Failed to allocate output buffer");
        return;
    }

    QString error;
    AudioFormatConverter::Failure failure = AudioFormatConverter::Failure::Resampler;
    std::optional<AudioBuffer> converted = AudioFormatConverter::convert(buffer, m_targetFormat, &error, &failure);
    if (!converted) {
        switch (failure) {
        case AudioFormatConverter::Failure::UnsupportedFormat:
            SLOG_ERROR(lcSpeech, "Converter unavailable for buffer format");
            break;
        case AudioFormatConverter::Failure::OutputCapacity:
            SLOG_ERROR(lcSpeech, "Failed to allocate output buffer");
            break;
        case AudioFormatConverter::Failure::Resampler:
            SLOG_ERROR(lcSpeech, "Conversion failed %s", error);
            break;
        }
        return;
    }

    converted->setFrameLength(converted->frameCapacity());
    if (const float *samples = converted->floatChannelData(0); samples && converted->frameLength() > 0)
        request->append(samples, converted->frameLength());
    SLOG_DEBUG(lcSpeech, "Appended converted buffer frames %u", converted->frameLength());
}
