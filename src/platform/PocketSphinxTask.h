#pragma once

#include "captioning/NoiseSuppressor.h"
#include "captioning/SpeechEngine.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class PocketSphinxModel;

// Decodes the audio of one request on a worker thread of its own, utterance by utterance, and reports
// the running transcription whenever it changes. The capture thread only queues samples; the decoding
// happens here.
class PocketSphinxTask final : public SpeechRecognitionTask
{
public:
    struct Options {
        // Speech that runs this long without a pause is cut at its quietest point, so that music or noise
        // cannot grow the search without bound and no caption line becomes a wall of words.
        double maxUtteranceSeconds = 12.0;
        // Level and noise treatment before the decoder; off only to measure what it does.
        bool frontEnd = true;
        // Makes the noise suppressor for each task; none leaves the noise as it is.
        NoiseSuppressorFactory noiseSuppressor;
    };

    PocketSphinxTask(std::shared_ptr<PocketSphinxModel> model, std::shared_ptr<SpeechAudioRequest> request,
        SpeechRecognizer::ResultHandler handler, Options options);
    // Cancels and waits for the worker, which stops within one chunk of decoding.
    ~PocketSphinxTask() override;

    // Once this returns, the handler is never called again (a call under way is waited for).
    void cancel() override;
    void endAudio() override;

    // Frames the worker has decoded so far (for measurements).
    std::uint64_t decodedFrames() const { return m_decoded.load(); }
    // Utterances ended by the length limit rather than by a pause.
    std::uint64_t forcedCuts() const { return m_forcedCuts.load(); }
    // The most audio any one utterance of this task was given, in frames.
    std::uint64_t longestUtteranceFrames() const { return m_longestUtterance.load(); }

private:
    void run();
    void report(const std::optional<QString> &text, const std::optional<QString> &error);
    void reportSentence(const TimedSentence &sentence);

    const std::shared_ptr<PocketSphinxModel> m_model;
    const std::shared_ptr<SpeechAudioRequest> m_request;
    const SpeechRecognizer::ResultHandler m_handler;
    const Options m_options;
    std::atomic<bool> m_cancelled = false;
    std::mutex m_reporting; // held while the handler runs
    std::atomic<std::uint64_t> m_decoded = 0;
    std::atomic<std::uint64_t> m_forcedCuts = 0;
    std::atomic<std::uint64_t> m_longestUtterance = 0;
    std::thread m_worker;
};
