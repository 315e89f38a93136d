#pragma once

// PUBLIC CONTRACT (used by the desktop application and its views). The captioning work fills in the
// private part and the .cpp; the public members below keep these names and meanings.

#include "base/ObjectWillChange.h"
#include "base/Published.h"
#include "base/Subscription.h"
#include "captioning/CaptioningServices.h"
#include "captioning/SessionTranscript.h"
#include "captioning/TranscriptAutoSaver.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

class AppSettings;
class AudioCaptureManager;
struct PlatformError;
class PermissionManager;
class SpeechRecognitionManager;

// The controller of a captioning session, confined to the main thread.
class CaptionViewModel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionViewModel)

public:
    explicit CaptionViewModel(CaptioningServices services, AppSettings &settings, QObject *parent = nullptr);
    ~CaptionViewModel() override;

    ObjectWillChange objectWillChange;
    Published<bool> isRunning { false, &objectWillChange };
    Published<QString> captionText { QString(), &objectWillChange };
    Published<QString> errorMessage { QString(), &objectWillChange }; // empty: no error
    Published<bool> clickThrough { false, &objectWillChange };
    // A line under the captions while they cannot listen to the chosen source as chosen: "Waiting for
    // <name>…" while the chosen application plays nothing, or that the whole mix stands in for a missing
    // input device; otherwise empty.
    Published<QString> waitingText { QString(), &objectWillChange };
    // A problem with keeping the transcript on disk, to be shown once; captions go on. Empty: none.
    Published<QString> transcriptNotice { QString(), &objectWillChange };
    // Something about recognition to be shown once while captions go on (such as the engine that had to
    // stand in for the chosen one). Empty: none.
    Published<QString> speechNotice { QString(), &objectWillChange };

    // The sentences said since captions first started: a start after a stop adds to them, and they last
    // until Sonorel quits.
    const SessionTranscript &transcript() const { return m_transcript; }
    // The file the transcript is kept in, while it is kept; empty otherwise.
    QString keptTranscriptFile() const;

    // Shown whenever speech recognition is refused, unavailable or fails.
    static QString siriHelpMessage()
    {
        return tr("Sonorel could not recognise speech in the selected language. Check that a speech model for it is "
                  "installed, or choose another language in Settings.");
    }
    static constexpr int maxLines = 50;
    // For a failure that the layer which raised it does not explain.
    static QString unexpectedErrorMessage()
    {
        return tr("Sonorel ran into an unexpected problem, so captions stopped. Start captions again; if this keeps "
                  "happening, restart Sonorel.");
    }

    // What a failure of the pipeline shows: plain words first, the technical detail in brackets at the end.
    static QString errorText(const PlatformError &error);

    void start(); // returns at once; outcomes arrive through isRunning and errorMessage
    // Returns at once, not running. The sentence under way is still finished and kept (within
    // SpeechRecognitionManager::finishWaitMs); then recognition stops and `stopped` is called.
    void stop(std::function<void()> stopped = {});
    // Finishes the sentence under way and keeps it, then calls `then` (at once when nothing is under way).
    // Captions go on.
    void finishSentence(std::function<void()> then);
    void dismissError();

    // The caption bounds: more than 50 lines keeps the last 25; then more than 4000 characters keeps
    // the last 2000 (user-perceived characters).
    static QString trimmedCaption(const QString &text);

    PermissionManager &permissionManager();
    AudioCaptureManager &audioCapture();
    SpeechRecognitionManager &speech();

private:
    QCoro::Task<> run(QUuid token);
    void fail(const PlatformError &error);
    void captureFailed(const PlatformError &error);
    void setError(const QString &message);
    void showSourceState();
    void updateCaption(const QString &text);
    void beginTranscript();
    void addSentence(TimedSentence sentence);
    void updateAutoSave();
    bool isCurrent(const QUuid &token) const { return m_runToken && *m_runToken == token; }

    AppSettings &m_settings;
    std::unique_ptr<PermissionManager> m_permissionManager;
    std::unique_ptr<AudioCaptureManager> m_audioCapture;
    std::unique_ptr<SpeechRecognitionManager> m_speech;
    SessionTranscript m_transcript;
    bool m_transcriptOpen = false; // captions have started since launch
    bool m_autoSaveFailed = false; // until the next start
    TranscriptAutoSaver::Owner m_autoSaver; // let go of without waiting on its disk
    Cancellables cancellables;
    std::optional<QUuid> m_runToken;
    QString m_waitingFor; // the chosen application, while it plays nothing
    QString m_missingInput; // the chosen input device, while the whole mix stands in for it
    // Runs suspended in a wait hold this weakly: a completion that arrives, or is dropped, after the
    // controller has begun to go away ends the run without touching it.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};
