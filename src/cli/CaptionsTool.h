#pragma once

#include "base/Subscription.h"
#include "captioning/CaptioningServices.h"
#include "captioning/TranscriptWriter.h"
#include "cli/CaptionPrinter.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class AppSettings;
class CaptionViewModel;
class QSocketNotifier;
class QTimer;
class SpeechRecognitionManager;
class AudioFileDecoder;

// The headless caption tool: live captions of what the computer plays through the session controller,
// or a recorded file through the same conversion and recognizer, printed to standard output: as lines of
// text, or as timed sentences in a subtitle or JSON format.
class CaptionsTool final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionsTool)

public:
    CaptionsTool(CaptioningServices services, AppSettings &settings, bool interactive,
        TranscriptWriter::Format format = TranscriptWriter::Format::Text, QObject *parent = nullptr);
    ~CaptionsTool() override;

    // Each ends by calling QCoreApplication::exit with the tool's exit status.
    void runLive(std::optional<double> durationSeconds);
    // A recorded file, read block by block as the recognizer takes it; `durationSeconds` of it at most.
    void runFile(AudioFileDecoder &file, std::optional<double> durationSeconds);

    // Finishes the current utterance and exits: the end of --duration, SIGINT, SIGTERM or SIGHUP.
    void finish();

private:
    void follow();
    void printSentence(const TimedSentence &sentence);
    void feedFile();
    void waitForLastResult(int remainingChecks);
    void fail(const QString &message);
    void done();
    void end(int status, const QString &error);

    CaptioningServices m_services;
    AppSettings &m_settings;
    CaptionPrinter m_printer;
    const TranscriptWriter::Format m_format;
    int m_sentences = 0;
    std::unique_ptr<CaptionViewModel> m_viewModel;
    std::unique_ptr<SpeechRecognitionManager> m_fileSpeech;
    SpeechRecognitionManager *m_speech = nullptr;
    AudioFileDecoder *m_file = nullptr;
    std::optional<std::uint64_t> m_framesLeft;
    QString m_inputError;
    QTimer *m_feedTimer = nullptr;
    bool m_finishing = false;
    bool m_ended = false;
    Cancellables cancellables;
};

// Turns SIGINT, SIGTERM and SIGHUP (a closed terminal) into a call on the main thread. The same request
// often comes twice at once (`timeout` signals the tool and then its process group); a signal more than
// two seconds after the first ends the process at once.
class TerminationSignals final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminationSignals)

public:
    explicit TerminationSignals(std::function<void()> onSignal, QObject *parent = nullptr);
    ~TerminationSignals() override;

    // Whether a termination signal has arrived; safe on any thread, and before the main loop sees it.
    static bool requested();

private:
    std::function<void()> m_onSignal;
    QSocketNotifier *m_notifier = nullptr;
    bool m_handlesHangUp = false;
};
