#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The speech-recognition service Sonorel runs on: an engine that knows which locales it can recognise
// and hands out recognizers; a recognizer that runs tasks; a task that turns the audio of its request
// into the whole running transcription. Every engine here recognises on the device.

// A finished sentence placed on the audio clock: seconds of audio the recognizer was given since its task
// started, so that times stay true however fast or slow the audio arrived. Words carry their own times
// where the engine knows them.
struct TimedWord {
    QString text;
    double start = 0;
    double end = 0;
};
struct TimedSentence {
    QString text;
    double start = 0;
    double end = 0;
    std::vector<TimedWord> words;
};

// The audio of one recognition: 32-bit float samples at 16000 Hz, one channel. The producer (the capture
// thread) appends copies; the consumer (a task's worker thread) takes them. Thread-safe. The queue is
// bounded so that a recognizer that falls behind cannot make latency and memory grow without limit:
// beyond `capacityFrames` the oldest audio is dropped.
class SpeechAudioRequest final
{
public:
    static constexpr std::size_t sampleRate = 16000;
    static constexpr std::size_t defaultCapacityFrames = 10 * sampleRate; // ten seconds

    explicit SpeechAudioRequest(std::size_t capacityFrames = defaultCapacityFrames) : m_capacity(capacityFrames) { }
    SpeechAudioRequest(const SpeechAudioRequest &) = delete;
    SpeechAudioRequest &operator=(const SpeechAudioRequest &) = delete;

    // Main thread, before a task is created on the request.
    bool requiresOnDeviceRecognition = false;
    bool shouldReportPartialResults = false;
    // Called on the task's worker thread with each sentence as it is finished, under the same rule as the
    // result handler: never after the task's cancel() has returned. The last one comes when the audio ends.
    std::function<void(const TimedSentence &)> sentenceHandler;
    // Called on the task's worker thread, under the same rule, with something the user should know while
    // recognition goes on (such as an engine that could not be used and the one used instead).
    std::function<void(const QString &)> noticeHandler;

    // Any thread. Copies `frames` samples; ignored once endAudio() has been called. Returns the number of
    // queued frames that had to be dropped to make room (0 normally).
    std::size_t append(const float *samples, std::size_t frames);
    // No more audio will come; the task finishes what is queued and ends.
    void endAudio();
    bool isAudioEnded() const;

    // Consumer side (the task's worker). Moves up to `maxFrames` queued frames into `out` (replacing its
    // content), waiting at most `wait` for audio to arrive. An empty `out` after the call means: nothing
    // yet, or the audio has ended (see isAudioEnded()) or interrupt() was called. Returns the index of the
    // first frame taken among all frames ever appended, dropped ones included, so that times on the
    // audio clock stay true when the queue had to drop audio.
    std::uint64_t take(std::vector<float> &out, std::size_t maxFrames, std::chrono::milliseconds wait);
    // Wakes a consumer blocked in take(), e.g. when its task is cancelled.
    void interrupt();
    // A consumer is attached: only then are drops a sign of a recognizer falling behind and worth an
    // error line (a request whose task failed to start just keeps the newest audio quietly).
    void setConsumerAttached(bool attached);
    // The consumer has recognised all audio after endAudio() and delivered its last result.
    void setFinished();
    bool isFinished() const;

    std::size_t queuedFrames() const;
    std::uint64_t appendedFrames() const;
    std::uint64_t droppedFrames() const;
    std::size_t capacityFrames() const { return m_capacity; }

private:
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<float> m_queue;
    std::uint64_t m_appended = 0;
    std::uint64_t m_dropped = 0;
    std::uint64_t m_droppedSinceReport = 0;
    std::chrono::steady_clock::time_point m_lastDropReport {};
    bool m_ended = false;
    bool m_interrupted = false;
    bool m_consumerAttached = false;
    bool m_finished = false;
};

// A running recognition. Its result handler is called on the task's own worker thread.
class SpeechRecognitionTask
{
public:
    virtual ~SpeechRecognitionTask() = default;
    // Stops recognising soon: the worker stops decoding and delivers nothing more, except a call that is
    // already under way on the worker thread. Idempotent; never blocks on decoding.
    virtual void cancel() = 0;
    // Ends the audio of the task's request: the queued audio is still recognised, then the task ends.
    virtual void endAudio() = 0;
    // Ends the utterance under way after the audio queued so far, as a long pause would, and finishes the
    // open sentence, which is reported as usual; then calls `delivered` on the worker thread, under the rule
    // of the result handler (never once cancel() has returned). A task that has ended calls it at once.
    virtual void finishSentence(std::function<void()> delivered) = 0;
};

// A recognizer for one locale: a cheap handle; creating one must not load a model on the caller's thread.
class SpeechRecognizer
{
public:
    // Called on the task's worker thread with the whole running transcription (text), an error text,
    // or both in one call (the text is to be handled first).
    using ResultHandler = std::function<void(const std::optional<QString> &text, const std::optional<QString> &error)>;

    virtual ~SpeechRecognizer() = default;
    virtual QString localeIdentifier() const = 0;
    // Which engine recognises: a recognizer for the same locale from another engine is a different one.
    virtual QString engineName() const { return QString(); }
    virtual bool isAvailable() const = 0;
    virtual bool supportsOnDeviceRecognition() const = 0;
    // Starts recognising the audio of `request` on a worker thread of the task's own.
    virtual std::shared_ptr<SpeechRecognitionTask> recognitionTask(
        std::shared_ptr<SpeechAudioRequest> request, ResultHandler handler)
        = 0;
};

class SpeechEngine
{
public:
    virtual ~SpeechEngine() = default;
    // Locale identifiers such as "en-US".
    virtual QStringList supportedLocales() const = 0;
    // A recognizer for exactly that identifier, or null when the engine has none for it.
    virtual std::shared_ptr<SpeechRecognizer> recognizer(const QString &localeIdentifier) = 0;
    // Which engine serves a supported locale, for lists that say so; empty when it is not supported.
    virtual QString engineFor(const QString &localeIdentifier) const
    {
        return supportedLocales().contains(localeIdentifier) ? QStringLiteral("default") : QString();
    }
};
