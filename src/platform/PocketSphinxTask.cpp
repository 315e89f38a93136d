#include "PocketSphinxTask.h"

#include "Log.h"
#include "PocketSphinxModel.h"
#include "PocketSphinxTranscript.h"

#include <pocketsphinx.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// A quarter of a second per decoding step: small enough for captions to follow speech closely and for
// cancel to take effect quickly, large enough to keep the per-step overhead low.
constexpr std::size_t chunkFrames = 4096;
constexpr std::chrono::milliseconds idleWait { 100 };
// The partial hypothesis is a backtrace over the whole utterance so far; asking for it after every
// 20 ms buffer costs more than decoding does. Every 100 ms of audio keeps captions just as current.
constexpr std::uint64_t partialEveryFrames = 1600;

void toInt16(const std::vector<float> &in, std::vector<int16> &out)
{
    out.resize(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        const float s = std::clamp(in[i], -1.0f, 1.0f) * 32767.0f;
        out[i] = int16(std::lrintf(s));
    }
}

QString hypothesis(ps_decoder_t *decoder)
{
    int32 score = 0;
    const char *hyp = ps_get_hyp(decoder, &score);
    return hyp ? QString::fromUtf8(hyp) : QString();
}

} // namespace

PocketSphinxTask::PocketSphinxTask(std::shared_ptr<PocketSphinxModel> model,
    std::shared_ptr<SpeechAudioRequest> request, SpeechRecognizer::ResultHandler handler, Options options)
    : m_model(std::move(model)), m_request(std::move(request)), m_handler(std::move(handler)), m_options(options)
{
    m_request->setConsumerAttached(true);
    m_worker = std::thread([this] { run(); });
}

PocketSphinxTask::~PocketSphinxTask()
{
    cancel();
    if (m_worker.joinable())
        m_worker.join();
    m_request->setConsumerAttached(false);
}

void PocketSphinxTask::cancel()
{
    m_cancelled.store(true);
    m_request->interrupt();
    m_model->wake();
}

void PocketSphinxTask::endAudio()
{
    m_request->endAudio();
}

void PocketSphinxTask::run()
{
    PocketSphinxDiagnostics::Capture capture;
    QString loadError;
    ps_decoder_t *decoder = m_model->acquireDecoder(m_cancelled, &loadError);
    if (!decoder) {
        if (!m_cancelled.load() && m_handler)
            m_handler(std::nullopt, loadError);
        return;
    }

    const auto failWith = [&](const char *fallback) {
        const QString error
            = capture.errors.isEmpty() ? QString::fromUtf8(fallback) : capture.errors.join(QLatin1Char(' '));
        capture.errors.clear();
        if (!m_cancelled.load() && m_handler)
            m_handler(std::nullopt, error);
    };

    PocketSphinxTranscript transcript;
    const auto deliver = [&] {
        if (m_cancelled.load() || !m_handler)
            return;
        if (auto text = transcript.takeIfChanged())
            m_handler(*text, std::nullopt);
    };

    const std::uint64_t maxUtteranceFrames
        = std::uint64_t(std::max(1.0, m_options.maxUtteranceSeconds) * double(SpeechAudioRequest::sampleRate));
    std::vector<float> samples;
    std::vector<int16> pcm;
    bool ok = ps_start_utt(decoder) >= 0;
    if (!ok)
        failWith("The speech decoder could not start an utterance");
    bool inUtterance = ok;
    bool speechSeen = false;
    std::uint64_t framesSincePartial = 0;
    std::uint64_t utteranceFrames = 0;

    const auto endUtterance = [&] {
        if (ps_end_utt(decoder) < 0) {
            failWith("The speech decoder could not end an utterance");
            return false;
        }
        inUtterance = false;
        transcript.finaliseUtterance(hypothesis(decoder));
        return true;
    };

    while (ok && !m_cancelled.load()) {
        m_request->take(samples, chunkFrames, idleWait);
        if (samples.empty()) {
            if (m_request->isAudioEnded() && m_request->queuedFrames() == 0)
                break;
            continue;
        }
        if (!inUtterance) {
            if (ps_start_utt(decoder) < 0) {
                failWith("The speech decoder could not start an utterance");
                ok = false;
                break;
            }
            inUtterance = true;
            speechSeen = false;
            utteranceFrames = 0;
            framesSincePartial = 0;
        }
        toInt16(samples, pcm);
        if (ps_process_raw(decoder, pcm.data(), pcm.size(), FALSE, FALSE) < 0) {
            failWith("The speech decoder failed on the audio");
            ok = false;
            break;
        }
        m_decoded.fetch_add(samples.size());
        utteranceFrames += samples.size();
        if (utteranceFrames > m_longestUtterance.load())
            m_longestUtterance.store(utteranceFrames);
        const bool inSpeech = ps_get_in_speech(decoder) != 0;
        speechSeen = speechSeen || inSpeech;
        if ((speechSeen && !inSpeech) || utteranceFrames >= maxUtteranceFrames) {
            if (utteranceFrames >= maxUtteranceFrames && !(speechSeen && !inSpeech)) {
                m_forcedCuts.fetch_add(1);
                SLOG_DEBUG(lcSpeech, "Utterance cut after frames %u", utteranceFrames);
            }
            if (!endUtterance()) {
                ok = false;
                break;
            }
        } else if (speechSeen && (framesSincePartial += samples.size()) >= partialEveryFrames) {
            framesSincePartial = 0;
            transcript.setPartial(hypothesis(decoder));
        }
        if (!capture.errors.isEmpty()) {
            failWith("");
            ok = false;
            break;
        }
        deliver();
    }

    if (inUtterance) {
        // The decoder stays with the model for later tasks: leave it between utterances.
        if (m_cancelled.load() || !ok)
            ps_end_utt(decoder);
        else if (endUtterance())
            deliver();
    }
    m_model->releaseDecoder();
    if (ok && !m_cancelled.load())
        m_request->setFinished();
}
