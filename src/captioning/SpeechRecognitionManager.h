#pragma once

// PUBLIC CONTRACT between the session controller and the speech recognition work. Private members and
// the .cpp are the speech work's; the public members keep these names and meanings.

#include "base/ObjectWillChange.h"
#include "base/PlatformError.h"
#include "base/Published.h"
#include "base/Subscription.h"
#include "captioning/AudioBuffer.h"
#include "captioning/SpeechEngine.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class AppSettings;
class SpeechEngine;
class SpeechRecognizer; // defined in SpeechEngine.h; has `bool supportsOnDeviceRecognition() const`
class SpeechAudioRequest;
class SpeechRecognitionTask;

// Turns audio buffers into the running transcription in the selected language. Main thread, except
// append(), which the capture thread calls for every buffer.
class SpeechRecognitionManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpeechRecognitionManager)

public:
    static constexpr int noRecognizerCode = -1; // "Speech recognizer not available for selected language"
    static constexpr int recognizerUnavailableCode = -2; // "Speech recognizer not available"

    SpeechRecognitionManager(std::shared_ptr<SpeechEngine> engine, AppSettings &settings, QObject *parent = nullptr);
    ~SpeechRecognitionManager() override;

    ObjectWillChange objectWillChange;
    Published<QString> latestText { QString(), &objectWillChange };
    Published<QString> latestError { QString(), &objectWillChange };
    // Something the user should know while recognition goes on; empty: nothing new.
    Published<QString> latestNotice { QString(), &objectWillChange };

    // The recognizer for the selected language, or null when there is none.
    std::shared_ptr<SpeechRecognizer> recognizer() const;

    // Starts a recognition task; an error in domain "Speech" with code -1 or -2 when it cannot.
    std::optional<PlatformError> start();
    void stop();
    // Finishes the sentence under way after the audio given so far, as a long pause would: it arrives through
    // sentenceFinished (its text through latestText), then `done` is called; recognition goes on. Without a
    // task `done` is called at once, and a task that has not answered within finishWaitMs is not waited for.
    static constexpr int finishWaitMs = 5000;
    void finishSentence(std::function<void()> done);
    // stop(), once the sentence under way has been finished as above; then `stopped` is called. A start in the
    // meantime stops at once.
    void stopAfterSentence(std::function<void()> stopped = {});
    bool isStopping() const { return m_stopping; }
    // Capture thread. Copies or converts the samples before returning; never decodes.
    void append(const AudioBuffer &buffer);

    // For tools that feed recorded audio rather than live capture. Frames waiting for the recognizer
    // (0 without a request); the end of the audio, after which the task recognises what is queued,
    // delivers its last result and finishes, unlike stop(), which discards it; and whether it has.
    std::size_t pendingFrames() const;
    void endAudio();
    bool hasFinishedAudio() const;
    // Whether tasks started from now on produce partial text; a recording printed to a file needs only
    // finished sentences, and an engine that re-decodes for partial text then decodes each utterance once.
    void setReportsPartialResults(bool partial) { m_reportsPartialResults = partial; }
    // When the running task started: the zero of its sentences' times.
    QDateTime taskStartTime() const { return m_taskStart; }

Q_SIGNALS:
    // Each sentence of the running task as the engine finishes it, with its times from the task's start.
    void sentenceFinished(const TimedSentence &sentence);

private:
    // What the recognition result handler shares with the manager. The handler runs on a task's worker
    // thread and holds this weakly, so the flag outlives neither the manager nor a late callback.
    // One per task. A stopped task may still be finishing on its thread (it is joined elsewhere, not on
    // this one); whatever it reports after the stop is nobody's news.
    struct HandlerState {
        std::atomic<bool> stopped { false };
    };
    // Where results cross from a task's thread to the main thread: kept under its own lock, collected
    // on the main thread by one queued call per batch.
    class Mailbox;

    void setupRecognizer();
    void settingsChanged();
    std::shared_ptr<SpeechAudioRequest> currentRequest() const;
    void setRequest(std::shared_ptr<SpeechAudioRequest> request);
    void completeFinish(const std::shared_ptr<std::function<void()>> &pending);

    std::shared_ptr<SpeechEngine> m_engine;
    AppSettings &m_settings;
    const AudioFormat m_targetFormat = AudioFormat::recognizerTarget();
    std::shared_ptr<SpeechRecognizer> m_recognizer;
    std::shared_ptr<SpeechRecognitionTask> m_task;
    QDateTime m_taskStart;
    bool m_reportsPartialResults = true;
    // append() reads the request on the capture thread while start()/stop() replace it on the main
    // thread; the lock is held only to copy or swap the handle, never while samples are queued.
    mutable std::mutex m_requestMutex;
    std::shared_ptr<SpeechAudioRequest> m_request;
    std::shared_ptr<HandlerState> m_handlerState = std::make_shared<HandlerState>();
    std::shared_ptr<Mailbox> m_mailbox;
    std::vector<std::shared_ptr<std::function<void()>>> m_pendingFinishes;
    bool m_stopping = false;
    Cancellables cancellables;
};
