#include "captioning/CaptionViewModel.h"

#include "base/Log.h"
#include "captioning/AudioCaptureManager.h"
#include "captioning/PermissionManager.h"
#include "captioning/SpeechEngine.h"
#include "captioning/SpeechRecognitionManager.h"
#include "captioning/TranscriptAutoSaver.h"
#include "settings/AppSettings.h"

#include <QMetaObject>
#include <QTextBoundaryFinder>

#include <coroutine>

namespace {

// Awaits a callback-style operation: `begin` receives the completion to call once. The result is
// empty when the completion is dropped without being called (its owner went away), so that a
// suspended run is always resumed and its frame freed.
template <typename T> class CompletionAwaiter final
{
public:
    using Begin = std::function<void(std::function<void(T)>)>;

    explicit CompletionAwaiter(Begin begin) : m_begin(std::move(begin)) { }

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> handle)
    {
        m_state->handle = handle;
        auto resumer = std::make_shared<Resumer>(m_state);
        m_begin([resumer](T value) { resumer->complete(std::move(value)); });
        m_state->insideBegin = false;
        // A completion called synchronously continues the run without a suspension.
        return !m_state->done;
    }

    std::optional<T> await_resume() { return std::move(m_state->value); }

private:
    struct State {
        std::coroutine_handle<> handle;
        bool insideBegin = true;
        bool done = false;
        std::optional<T> value;
    };

    class Resumer final
    {
    public:
        explicit Resumer(std::shared_ptr<State> state) : m_state(std::move(state)) { }
        Resumer(const Resumer &) = delete;
        Resumer &operator=(const Resumer &) = delete;
        ~Resumer() { finish(); }

        void complete(T value)
        {
            if (m_state->done)
                return;
            m_state->value = std::move(value);
            finish();
        }

    private:
        void finish()
        {
            if (m_state->done)
                return;
            m_state->done = true;
            if (!m_state->insideBegin)
                m_state->handle.resume();
        }

        std::shared_ptr<State> m_state;
    };

    Begin m_begin;
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

bool isLineSeparator(QChar c)
{
    switch (c.unicode()) {
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0085:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

// Positions (in UTF-16 units) where each user-perceived character begins.
std::vector<qsizetype> graphemeStarts(const QString &text)
{
    std::vector<qsizetype> starts;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = finder.toNextBoundary(); at != -1; at = finder.toNextBoundary())
        starts.push_back(at);
    // Boundaries after each character: turn ends into starts.
    if (!starts.empty()) {
        starts.pop_back();
        starts.insert(starts.begin(), 0);
    }
    return starts;
}

} // namespace

CaptionViewModel::CaptionViewModel(CaptioningServices services, AppSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings),
      m_permissionManager(std::make_unique<PermissionManager>(std::move(services.permissions))),
      m_audioCapture(std::make_unique<AudioCaptureManager>(std::move(services.capture))),
      m_speech(std::make_unique<SpeechRecognitionManager>(std::move(services.speechEngine), settings))
{
    connect(m_speech.get(), &SpeechRecognitionManager::sentenceFinished, this, &CaptionViewModel::addSentence);
    // Read once the change is stored. A new source is taken up at once, also while captions run; the text
    // on screen stays.
    cancellables.push_back(m_settings.objectWillChange.subscribeOn(this, [this] {
        updateAutoSave();
        m_audioCapture->setSource(m_settings.audioSource());
    }));
    cancellables.push_back(m_speech->latestText.subscribeOn(this, [this](const QString &text) {
        SLOG_DEBUG(lcCaptions, "Received transcription length %ld", long(graphemeStarts(text).size()));
        updateCaption(text);
    }));
    cancellables.push_back(m_speech->latestNotice.subscribeOn(this, [this](const QString &notice) {
        if (notice.isEmpty())
            return;
        speechNotice = notice;
        m_speech->latestNotice = QString();
    }));
    cancellables.push_back(m_speech->latestError.subscribeOn(this, [this](const QString &error) {
        if (error.isEmpty())
            return;
        SLOG_ERROR(lcCaptions, "Speech manager error %s", error);
        stop();
        setError(siriHelpMessage());
        m_speech->latestError = QString();
    }));

    // The capture thread reaches the speech manager only through this hand-off; the capture manager
    // drops it, waiting for a delivery under way, before the speech manager goes.
    m_audioCapture->setOnBuffer([speech = m_speech.get()](const AudioBuffer &buffer) {
        SLOG_DEBUG(lcCaptions, "Passing buffer frames %u", buffer.frameLength());
        speech->append(buffer);
    });
    m_audioCapture->setOnFailure([this](const PlatformError &error) { captureFailed(error); });
    m_audioCapture->setOnWaiting([this](const QString &application) {
        m_waitingFor = application;
        showSourceState();
    });
    m_audioCapture->setOnFallback([this](const QString &missingInput) {
        m_missingInput = missingInput;
        showSourceState();
    });
    m_audioCapture->setSource(settings.audioSource());
}

CaptionViewModel::~CaptionViewModel()
{
    m_alive.reset();
    m_autoSaver.reset(); // its failure handler is dropped here; the disk is waited on elsewhere
    m_audioCapture->setOnBuffer(nullptr);
}

PermissionManager &CaptionViewModel::permissionManager()
{
    return *m_permissionManager;
}

AudioCaptureManager &CaptionViewModel::audioCapture()
{
    return *m_audioCapture;
}

SpeechRecognitionManager &CaptionViewModel::speech()
{
    return *m_speech;
}

void CaptionViewModel::start()
{
    const QUuid token = QUuid::createUuid();
    m_runToken = token;
    QMetaObject::invokeMethod(
        this, [this, token] { run(token); }, Qt::QueuedConnection);
}

QCoro::Task<> CaptionViewModel::run(QUuid token)
{
    const std::weak_ptr<int> alive = m_alive;
    PermissionManager *permissions = m_permissionManager.get();

    SLOG_INFO(lcCaptions, "Start requested");
    PermissionState speechState = permissions->speechStatus();
    const PermissionState screenState = permissions->screenStatus();

    if (speechState == PermissionState::undetermined) {
        SLOG_INFO(lcCaptions, "Requesting speech permissions");
        co_await CompletionAwaiter<PermissionState>(
            [permissions](std::function<void(PermissionState)> done) { permissions->requestSpeech(std::move(done)); });
        if (alive.expired())
            co_return;
        speechState = permissions->speechStatus();
    }
    if (speechState == PermissionState::denied || speechState == PermissionState::restricted) {
        stop();
        setError(siriHelpMessage());
        co_return;
    }

    if (screenState == PermissionState::denied) {
        SLOG_INFO(lcCaptions, "Requesting screen recording permissions");
        co_await CompletionAwaiter<PermissionState>(
            [permissions](std::function<void(PermissionState)> done) { permissions->requestScreen(std::move(done)); });
        if (alive.expired())
            co_return;
    }

    // The sentence of the stop before is kept before a new task begins.
    if (m_speech->isStopping()) {
        SpeechRecognitionManager *speech = m_speech.get();
        co_await CompletionAwaiter<bool>(
            [speech](std::function<void(bool)> done) { speech->stopAfterSentence([done] { done(true); }); });
        if (alive.expired() || !isCurrent(token))
            co_return;
    }

    const std::shared_ptr<SpeechRecognizer> recognizer = m_speech->recognizer();
    if (!recognizer || !recognizer->supportsOnDeviceRecognition()) {
        SLOG_ERROR(lcCaptions, "On-device recognition unavailable");
        stop();
        setError(siriHelpMessage());
        m_runToken.reset();
        co_return;
    }

    if (const std::optional<PlatformError> error = m_speech->start()) {
        fail(*error);
        co_return;
    }
    beginTranscript();

    // A run that has been overtaken undoes what it started only when no newer run has taken over the
    // shared components: a newer run relies on the recognizer and capture being up.
    if (!isCurrent(token)) {
        if (!m_runToken)
            m_speech->stop();
        co_return;
    }

    AudioCaptureManager *capture = m_audioCapture.get();
    const std::optional<std::optional<PlatformError>> captureResult
        = co_await CompletionAwaiter<std::optional<PlatformError>>(
            [capture](std::function<void(std::optional<PlatformError>)> done) { capture->start(std::move(done)); });
    if (alive.expired() || !captureResult)
        co_return;
    if (*captureResult) {
        fail(**captureResult);
        co_return;
    }

    if (!isCurrent(token)) {
        if (!m_runToken) {
            m_audioCapture->stop();
            m_speech->stop();
        }
        co_return;
    }

    isRunning = true;
    SLOG_INFO(lcCaptions, "Captions started");
    errorMessage = QString();
}

void CaptionViewModel::fail(const PlatformError &error)
{
    SLOG_ERROR(lcCaptions, "Failed to start captions %s", error.message());
    m_runToken.reset();
    m_audioCapture->stop();
    m_speech->stop();
    setError(errorText(error));
}

// A stream that dies while captions run (the sound server went away, the device was removed) ends the
// session visibly instead of leaving a running session that receives nothing.
void CaptionViewModel::captureFailed(const PlatformError &error)
{
    SLOG_ERROR(lcCaptions, "Audio capture failed %s", error.message());
    if (!isRunning.get() && !m_runToken)
        return;
    stop();
    setError(errorText(error));
}

void CaptionViewModel::showSourceState()
{
    QString line;
    if (!m_missingInput.isEmpty())
        line = tr("The input device \u201c%1\u201d is not connected, so captions listen to all system sound.")
                   .arg(m_missingInput);
    else if (!m_waitingFor.isEmpty())
        line = tr("Waiting for %1\u2026").arg(m_waitingFor);
    if (line != waitingText.get())
        waitingText = line;
}

QString CaptionViewModel::errorText(const PlatformError &error)
{
    return error.fullDescription(unexpectedErrorMessage());
}

void CaptionViewModel::stop(std::function<void()> stopped)
{
    SLOG_INFO(lcCaptions, "Stopping captions");
    m_runToken.reset();
    m_audioCapture->stop();
    // What is on screen reaches the transcript and the kept file: the words heard so far end the sentence.
    m_speech->stopAfterSentence(std::move(stopped));
    isRunning = false;
}

void CaptionViewModel::finishSentence(std::function<void()> then)
{
    m_speech->finishSentence(std::move(then));
}

// A start after a stop goes on with the same transcript and file; one without a sentence yet begins anew.
void CaptionViewModel::beginTranscript()
{
    if (m_transcript.isEmpty()) {
        m_transcript = SessionTranscript(m_speech->taskStartTime());
        m_autoSaver.reset();
    }
    m_transcriptOpen = true;
    m_autoSaveFailed = false;
    updateAutoSave();
}

// A task restarted within the session (a change of language) counts its times from its own start.
void CaptionViewModel::addSentence(TimedSentence sentence)
{
    if (!m_transcriptOpen)
        return;
    const double offset = double(m_transcript.startTime().msecsTo(m_speech->taskStartTime())) / 1000.0;
    sentence.start += offset;
    sentence.end += offset;
    for (TimedWord &w : sentence.words) {
        w.start += offset;
        w.end += offset;
    }
    if (m_autoSaver)
        m_autoSaver->append(TranscriptAutoSaver::line(m_transcript.startTime(), sentence));
    m_transcript.append(std::move(sentence));
}

// Keeping follows the setting once captions have started; a failure ends it until the next start.
void CaptionViewModel::updateAutoSave()
{
    const bool keep = m_transcriptOpen && !m_autoSaveFailed && m_settings.keepTranscripts();
    if (!keep) {
        m_autoSaver.reset();
        return;
    }
    if (m_autoSaver)
        return;
    const QString folder = TranscriptAutoSaver::defaultFolder();
    if (folder.isEmpty()) {
        SLOG_ERROR(lcCaptions, "Transcript not kept: no documents folder");
        m_autoSaveFailed = true;
        transcriptNotice = tr("Sonorel could not keep the transcript because it found no documents folder to keep it "
                              "in (check that HOME names your home folder), so it stopped keeping it for this session. "
                              "Captions go on as before.");
        return;
    }
    const QString fileName = TranscriptAutoSaver::fileNameFor(folder, m_transcript.startTime());
    SLOG_INFO(lcCaptions, "Keeping transcript in %s", fileName);
    m_autoSaver = TranscriptAutoSaver::make(fileName, [this](const QString &message) {
        // Called only until the saver is let go of, which happens before this object is destroyed, so the
        // queued call finds it alive or is dropped with it.
        QMetaObject::invokeMethod(
            this,
            [this, message] {
                m_autoSaveFailed = true;
                m_autoSaver.reset();
                transcriptNotice = message;
            },
            Qt::QueuedConnection);
    });
}

QString CaptionViewModel::keptTranscriptFile() const
{
    return m_autoSaver ? m_autoSaver->fileName() : QString();
}

void CaptionViewModel::dismissError()
{
    SLOG_DEBUG(lcCaptions, "Error message dismissed");
    errorMessage = QString();
}

void CaptionViewModel::setError(const QString &message)
{
    SLOG_ERROR(lcCaptions, "Error message set %s", message);
    errorMessage = message;
}

void CaptionViewModel::updateCaption(const QString &text)
{
    captionText = trimmedCaption(text);
}

QString CaptionViewModel::trimmedCaption(const QString &text)
{
    QString result = text;

    qsizetype separators = 0;
    for (const QChar c : text) {
        if (isLineSeparator(c))
            ++separators;
    }
    if (separators + 1 > maxLines) {
        // The last 25 lines begin after the 25th separator from the end.
        constexpr qsizetype keptLines = 25;
        qsizetype seen = 0;
        qsizetype begin = 0;
        for (qsizetype i = text.size() - 1; i >= 0; --i) {
            if (isLineSeparator(text.at(i)) && ++seen == keptLines) {
                begin = i + 1;
                break;
            }
        }
        // Joining the kept lines with LF is replacing each of their separators with one.
        result = text.mid(begin);
        for (QChar &c : result) {
            if (isLineSeparator(c))
                c = QLatin1Char('\n');
        }
    }

    constexpr std::size_t maxCharacters = 4000;
    constexpr std::size_t keptCharacters = 2000;
    // Cheap bound first: fewer UTF-16 units than the limit means fewer characters too.
    if (std::size_t(result.size()) > maxCharacters) {
        const std::vector<qsizetype> starts = graphemeStarts(result);
        if (starts.size() > maxCharacters)
            result = result.mid(starts[starts.size() - keptCharacters]);
    }
    return result;
}
