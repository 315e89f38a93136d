#include "cli/CaptionsTool.h"

#include "captioning/AudioCaptureManager.h"
#include "captioning/AudioFileDecoder.h"
#include "captioning/CaptionViewModel.h"
#include "captioning/SpeechRecognitionManager.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Recorded audio is fed as fast as the recognizer takes it, never so fast that the request's bounded
// queue would have to drop any.
constexpr std::size_t maxPendingFrames = 2 * 16000;
constexpr int checkIntervalMs = 10;
// How long the end waits for the recognizer to finish the last utterance of live audio.
constexpr int finalResultChecks = 5000 / checkIntervalMs;

int signalPipe[2] = { -1, -1 };
// When the first termination signal arrived, on the monotonic clock; 0 before. Lock-free, so safe in a
// signal handler.
std::atomic<std::int64_t> firstSignalNs = 0;
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
// Signals within this time of the first are the same request: `timeout` sends its signal to the tool and
// then to its process group, systemd a SIGTERM and then a SIGHUP, a closed terminal a SIGHUP to every
// process in it. Only a later one, a person pressing Ctrl+C again, gives up on the text in progress.
constexpr std::int64_t sameRequestNs = 2'000'000'000;

void onTerminationSignal(int)
{
    const int savedErrno = errno;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    const std::int64_t nowNs = std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec + 1; // never 0
    std::int64_t first = 0;
    if (!firstSignalNs.compare_exchange_strong(first, nowNs)) {
        if (nowNs - first >= sameRequestNs)
            _exit(130);
        errno = savedErrno;
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

CaptionsTool::CaptionsTool(CaptioningServices services, AppSettings &settings, bool interactive,
    TranscriptWriter::Format format, QObject *parent)
    : QObject(parent), m_services(std::move(services)), m_settings(settings), m_printer(stdout, interactive),
      m_format(format)
{ }

// Text follows the running transcription, so that a terminal shows the sentence still being spoken; the
// timed formats take each sentence as the engine finishes it.
void CaptionsTool::follow()
{
    if (m_format == TranscriptWriter::Format::Text) {
        // The recognizer's whole transcription, not the trimmed caption, for the sentence being spoken.
        cancellables.push_back(m_speech->latestText.subscribe([this](const QString &text) { m_printer.update(text); }));
        connect(m_speech, &SpeechRecognitionManager::sentenceFinished, this, [this](const TimedSentence &sentence) {
            if (!m_ended)
                m_printer.sentence(sentence.text);
        });
        return;
    }
    std::fputs(TranscriptWriter::begin(m_format).constData(), stdout);
    std::fflush(stdout);
    connect(m_speech, &SpeechRecognitionManager::sentenceFinished, this, &CaptionsTool::printSentence);
}

void CaptionsTool::printSentence(const TimedSentence &sentence)
{
    if (m_ended)
        return;
    std::fputs(TranscriptWriter::entry(m_format, ++m_sentences, sentence).constData(), stdout);
    std::fflush(stdout); // each sentence reaches a pipe as soon as it is finished
}

CaptionsTool::~CaptionsTool() = default;

void CaptionsTool::runLive(std::optional<double> durationSeconds)
{
    m_viewModel = std::make_unique<CaptionViewModel>(m_services, m_settings);
    m_speech = &m_viewModel->speech();
    follow();
    cancellables.push_back(m_viewModel->errorMessage.subscribe([this](const QString &message) {
        if (!message.isEmpty())
            QMetaObject::invokeMethod(
                this, [this, message] { fail(message); }, Qt::QueuedConnection);
    }));
    // Standard output holds captions only; what they wait for goes to the terminal.
    cancellables.push_back(m_viewModel->waitingText.subscribe([](const QString &waiting) {
        if (!waiting.isEmpty())
            std::fprintf(stderr, "%s\n", waiting.toLocal8Bit().constData());
    }));
    if (durationSeconds)
        QTimer::singleShot(int(*durationSeconds * 1000), this, [this] { finish(); });
    m_viewModel->start();
}

void CaptionsTool::runFile(AudioFileDecoder &file, std::optional<double> durationSeconds)
{
    m_file = &file;
    if (durationSeconds)
        m_framesLeft = std::uint64_t(std::min(*durationSeconds * file.format().sampleRate, 1e18));
    m_fileSpeech = std::make_unique<SpeechRecognitionManager>(m_services.speechEngine, m_settings);
    m_speech = m_fileSpeech.get();
    // Partial text is for a reader at a terminal; an engine that re-decodes for it then decodes once.
    m_speech->setReportsPartialResults(m_printer.isInteractive() && m_format == TranscriptWriter::Format::Text);
    follow();
    // Worded as the app words them; the engine's own text goes in the brackets.
    cancellables.push_back(m_speech->latestError.subscribe([this](const QString &error) {
        if (error.isEmpty())
            return;
        const QString message = CaptionViewModel::errorText(
            PlatformError { QStringLiteral("Speech"), 0, error, CaptionViewModel::siriHelpMessage() });
        QMetaObject::invokeMethod(
            this, [this, message] { fail(message); }, Qt::QueuedConnection);
    }));
    if (const auto error = m_speech->start()) {
        QMetaObject::invokeMethod(
            this, [this, message = CaptionViewModel::errorText(*error)] { fail(message); }, Qt::QueuedConnection);
        return;
    }
    m_feedTimer = new QTimer(this);
    m_feedTimer->setInterval(0);
    connect(m_feedTimer, &QTimer::timeout, this, &CaptionsTool::feedFile);
    m_feedTimer->start();
}

void CaptionsTool::feedFile()
{
    // A tenth of a second per buffer: a whole number of output frames at the usual rates.
    // The file is read one block at a time, as the recognizer takes it: nothing more is ever held.
    const auto chunk = std::max<std::uint32_t>(1, std::uint32_t(m_file->format().sampleRate / 10));
    while (m_speech->pendingFrames() < maxPendingFrames) {
        const auto wanted = std::uint32_t(std::min<std::uint64_t>(chunk, m_framesLeft.value_or(chunk)));
        const AudioBuffer block = wanted > 0 ? m_file->next(wanted) : AudioBuffer();
        if (block.frameLength() == 0) {
            // What was read is still captioned; a read error is reported once it has been.
            m_inputError = m_file->error();
            m_feedTimer->stop();
            finish();
            return;
        }
        m_speech->append(block);
        if (m_framesLeft)
            *m_framesLeft -= block.frameLength();
    }
    m_feedTimer->setInterval(checkIntervalMs); // the recognizer is busy: look again shortly
}

void CaptionsTool::finish()
{
    if (m_finishing || m_ended)
        return;
    m_finishing = true;
    if (m_feedTimer)
        m_feedTimer->stop();
    if (m_viewModel)
        m_viewModel->audioCapture().stop();
    if (!m_speech) {
        done();
        return;
    }
    m_speech->endAudio();
    waitForLastResult(m_file ? -1 : finalResultChecks);
}

void CaptionsTool::waitForLastResult(int remainingChecks)
{
    if (m_ended)
        return;
    if (m_speech->hasFinishedAudio() || remainingChecks == 0) {
        // The last result was posted before the recognizer finished; a queued call runs after it.
        QMetaObject::invokeMethod(
            this, [this] { done(); }, Qt::QueuedConnection);
        return;
    }
    QTimer::singleShot(checkIntervalMs, this, [this, remainingChecks] { waitForLastResult(remainingChecks - 1); });
}

void CaptionsTool::done()
{
    end(m_inputError.isEmpty() ? 0 : 2, m_inputError);
}

void CaptionsTool::fail(const QString &message)
{
    end(1, message);
}

// Ends the run once: the current sentence is printed, the pipeline stopped, an error reported.
void CaptionsTool::end(int status, const QString &error)
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_format == TranscriptWriter::Format::Text)
        m_printer.finish();
    else
        std::fputs(TranscriptWriter::end(m_format).constData(), stdout);
    std::fflush(stdout);
    if (m_viewModel)
        m_viewModel->stop();
    else if (m_speech)
        m_speech->stop();
    if (!error.isEmpty())
        std::fprintf(stderr, "sonorel-captions: %s\n", error.toLocal8Bit().constData());
    QCoreApplication::exit(status);
}

TerminationSignals::TerminationSignals(std::function<void()> onSignal, QObject *parent)
    : QObject(parent), m_onSignal(std::move(onSignal))
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (read(signalPipe[0], buffer, sizeof buffer) > 0) { }
        m_onSignal();
    });
    struct sigaction action {
    };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // Started under nohup, a hang-up is meant to be ignored, and stays so.
    struct sigaction previous {
    };
    if (sigaction(SIGHUP, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &action, nullptr);
        m_handlesHangUp = true;
    }
}

bool TerminationSignals::requested()
{
    return firstSignalNs.load() != 0;
}

TerminationSignals::~TerminationSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (m_handlesHangUp)
        std::signal(SIGHUP, SIG_DFL);
}
