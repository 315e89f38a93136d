#pragma once

#include "captioning/NoiseSuppressor.h"
#include "captioning/SpeechEngine.h"
#include "captioning/UtteranceDecoder.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Recognises the audio of one request on a worker thread of its own, utterance by utterance, with any
// engine's utterance decoder, and reports the running transcription whenever it changes. The capture
// thread only queues samples; the sound treatment, the segmenting and the decoding happen here.
class SegmentedRecognitionTask final : public SpeechRecognitionTask
{
public:
    struct Options {
        // Level and noise treatment before the decoder; off only to measure what it does.
        bool frontEnd = true;
        // Makes the noise suppressor for each task; none leaves the noise as it is.
        NoiseSuppressorFactory noiseSuppressor;
        // Called by cancel() to interrupt a decoder source that is waiting for its model.
        std::function<void()> wake;
        // Where to turn when the decoder cannot keep up with the audio even at its slowest partial text:
        // a lighter decoder, taken between two utterances. None: the queue drops the oldest audio.
        UtteranceDecoderSource lighter;
    };

    SegmentedRecognitionTask(UtteranceDecoderSource decoders, std::shared_ptr<SpeechAudioRequest> request,
        SpeechRecognizer::ResultHandler handler, QString localeIdentifier, Options options);
    // A task for a recognizer to hand out. A stopped task joins its decoding thread when destroyed: never on
    // the caller's (GUI) thread. It is cancelled where it is let go of, so that its handler is never called
    // after that, and joined later.
    static std::shared_ptr<SpeechRecognitionTask> launch(UtteranceDecoderSource decoders,
        std::shared_ptr<SpeechAudioRequest> request, SpeechRecognizer::ResultHandler handler, QString localeIdentifier,
        Options options);
    // Cancels and waits for the worker, which stops within one step of decoding.
    ~SegmentedRecognitionTask() override;

    // Once this returns, the handler is never called again (a call under way is waited for).
    void cancel() override;
    void endAudio() override;
    void finishSentence(std::function<void()> delivered) override;

    // Frames the worker has given to the segmenter so far (for measurements).
    std::uint64_t decodedFrames() const { return m_decoded.load(); }
    // Utterances ended by the length limit rather than by a pause.
    std::uint64_t forcedCuts() const { return m_forcedCuts.load(); }
    // The most audio any one utterance of this task was given, in frames.
    std::uint64_t longestUtteranceFrames() const { return m_longestUtterance.load(); }

private:
    void run();
    void report(const std::optional<QString> &text, const std::optional<QString> &error);
    void reportSentence(const TimedSentence &sentence);
    void reportNotice(const QString &notice);
    void confirm(const std::function<void()> &delivered);

    const UtteranceDecoderSource m_decoders;
    const std::shared_ptr<SpeechAudioRequest> m_request;
    const SpeechRecognizer::ResultHandler m_handler;
    const QString m_locale;
    const Options m_options;
    std::atomic<bool> m_cancelled = false;
    std::mutex m_reporting; // held while the handler runs
    // Sentences to finish once the audio up to `afterFrame` (on the request's clock) has been taken.
    struct FinishRequest {
        std::uint64_t afterFrame = 0;
        std::function<void()> delivered;
    };
    std::mutex m_finishing;
    std::vector<FinishRequest> m_finishRequests;
    bool m_runEnded = false;
    std::atomic<std::uint64_t> m_decoded = 0;
    std::atomic<std::uint64_t> m_forcedCuts = 0;
    std::atomic<std::uint64_t> m_longestUtterance = 0;
    std::thread m_worker;
};
