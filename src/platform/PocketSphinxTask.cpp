#include "platform/PocketSphinxTask.h"

#include "base/Log.h"
#include "captioning/SentenceStyle.h"
#include "captioning/SoundFrontEnd.h"
#include "captioning/UtteranceSegmenter.h"
#include "platform/PocketSphinxModel.h"
#include "platform/PocketSphinxTranscript.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmd_ln.h>

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
        const float s = std::isfinite(in[i]) ? std::clamp(in[i], -1.0f, 1.0f) * 32767.0f : 0.0f;
        out[i] = int16(std::lrintf(s));
    }
}

QString hypothesis(ps_decoder_t *decoder)
{
    int32 score = 0;
    const char *hyp = ps_get_hyp(decoder, &score);
    return hyp ? QString::fromUtf8(hyp) : QString();
}

double seconds(std::uint64_t samples)
{
    return double(samples) / double(SpeechAudioRequest::sampleRate);
}

// The words of the utterance just ended, placed on the audio clock. The decoder's own voice detection
// leaves the silence before speech out of the frames it searches, and numbers them from a count of its own
// that no utterance resets; an utterance ends soon after the speech does. So the searched frames are
// counted back from the utterance's last sample, relative to the first segment. Silence and fillers
// ("<sil>", "[NOISE]", "++BREATH++") take time but are no words; "word(2)" is a second pronunciation.
UtteranceTiming utteranceTiming(
    ps_decoder_t *decoder, std::uint64_t startSample, std::uint64_t endSample, int frameRate)
{
    UtteranceTiming timing { seconds(startSample), seconds(endSample), {} };
    const int searched = ps_get_n_frames(decoder);
    const auto at = [&](int frame) {
        return std::clamp(timing.end - double(searched - frame) / frameRate, timing.start, timing.end);
    };
    std::optional<int> base;
    for (ps_seg_t *seg = ps_seg_iter(decoder); seg; seg = ps_seg_next(seg)) {
        int first = 0, last = 0;
        ps_seg_frames(seg, &first, &last);
        if (!base)
            base = first;
        const char *word = ps_seg_word(seg);
        if (!word || *word == '<' || *word == '[' || *word == '+')
            continue;
        QString text = QString::fromUtf8(word);
        if (const auto variant = text.indexOf(QLatin1Char('(')); variant > 0)
            text.truncate(variant);
        timing.words.push_back({ text, at(first - *base), at(last + 1 - *base) });
    }
    if (!timing.words.empty()) {
        timing.start = timing.words.front().start;
        timing.end = timing.words.back().end;
    }
    return timing;
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

void PocketSphinxTask::report(const std::optional<QString> &text, const std::optional<QString> &error)
{
    std::lock_guard reporting(m_reporting);
    if (!m_cancelled.load() && m_handler)
        m_handler(text, error);
}

void PocketSphinxTask::reportSentence(const TimedSentence &sentence)
{
    std::lock_guard reporting(m_reporting);
    if (!m_cancelled.load() && m_request->sentenceHandler)
        m_request->sentenceHandler(sentence);
}

void PocketSphinxTask::cancel()
{
    m_cancelled.store(true);
    {
        std::lock_guard reporting(m_reporting); // a report under way ends before this returns
    }
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
        report(std::nullopt, loadError);
        return;
    }

    const auto failWith = [&](const char *fallback) {
        const QString error
            = capture.errors.isEmpty() ? QString::fromUtf8(fallback) : capture.errors.join(QLatin1Char(' '));
        capture.errors.clear();
        report(std::nullopt, error);
    };

    PocketSphinxTranscript transcript(SentenceStyle::forLocale(m_model->files().localeIdentifier));
    const auto deliver = [&] {
        if (m_cancelled.load())
            return;
        if (auto text = transcript.takeIfChanged())
            report(*text, std::nullopt);
        for (const TimedSentence &sentence : transcript.takeFinishedSentences())
            reportSentence(sentence);
    };
    const int frameRate = std::max(1, int(cmd_ln_int32_r(ps_get_config(decoder), "-frate")));

    // The front end and the segmenter work here, on the task's thread, never on the capture thread.
    std::unique_ptr<SoundFrontEnd> frontEnd;
    if (m_options.frontEnd)
        frontEnd = std::make_unique<SoundFrontEnd>(m_options.noiseSuppressor ? m_options.noiseSuppressor() : nullptr);
    UtteranceSegmenter::Options segmentation;
    segmentation.maxSpeechFrames
        = std::size_t(std::max(1.0, m_options.maxUtteranceSeconds) * double(SpeechAudioRequest::sampleRate))
        / UtteranceSegmenter::frameSamples;
    UtteranceSegmenter segmenter(segmentation);

    std::vector<float> samples, frames;
    std::vector<int16> pcm;
    bool ok = true;
    bool inUtterance = false;
    bool audioEnded = false;
    bool drained = false;
    std::uint64_t framesSincePartial = 0;
    std::uint64_t utteranceStart = 0; // on the audio clock, in samples

    const auto endUtterance = [&] {
        if (ps_end_utt(decoder) < 0) {
            failWith("The speech decoder could not end an utterance");
            return false;
        }
        inUtterance = false;
        transcript.finaliseUtterance(
            hypothesis(decoder), utteranceTiming(decoder, utteranceStart, m_decoded.load(), frameRate));
        return true;
    };

    while (ok && !drained && !m_cancelled.load()) {
        UtteranceSegmenter::Step step = segmenter.next();
        switch (step.kind) {
        case UtteranceSegmenter::Kind::Decode: {
            if (!inUtterance) {
                if (ps_start_utt(decoder) < 0) {
                    failWith("The speech decoder could not start an utterance");
                    ok = false;
                    break;
                }
                inUtterance = true;
                framesSincePartial = 0;
                utteranceStart = m_decoded.load();
            }
            toInt16(step.samples, pcm);
            if (ps_process_raw(decoder, pcm.data(), pcm.size(), FALSE, FALSE) < 0) {
                failWith("The speech decoder failed on the audio");
                ok = false;
                break;
            }
            m_decoded.fetch_add(step.samples.size());
            segmenter.report(ps_get_in_speech(decoder) != 0);
            const std::uint64_t speech = std::uint64_t(segmenter.speechFrames()) * UtteranceSegmenter::frameSamples;
            if (speech > m_longestUtterance.load())
                m_longestUtterance.store(speech);
            if (speech > 0 && (framesSincePartial += step.samples.size()) >= partialEveryFrames) {
                framesSincePartial = 0;
                transcript.setPartial(hypothesis(decoder));
            }
            break;
        }
        case UtteranceSegmenter::Kind::Cut:
            m_forcedCuts.fetch_add(1);
            SLOG_DEBUG(lcSpeech, "Utterance cut after frames %u", m_longestUtterance.load());
            [[fallthrough]];
        case UtteranceSegmenter::Kind::EndAtPause:
            if (inUtterance && !endUtterance())
                ok = false;
            break;
        case UtteranceSegmenter::Kind::RestartIdle:
            // Nothing was said: the decoder starts afresh without a word of text.
            if (inUtterance) {
                ps_end_utt(decoder);
                inUtterance = false;
            }
            break;
        case UtteranceSegmenter::Kind::None:
            if (audioEnded) {
                drained = true;
                break;
            }
            m_request->take(samples, chunkFrames, idleWait);
            if (samples.empty()) {
                if (m_request->isAudioEnded() && m_request->queuedFrames() == 0) {
                    if (frontEnd) {
                        frames.clear();
                        frontEnd->flush(frames);
                        segmenter.push(frames.data(), frames.size());
                    }
                    segmenter.endOfAudio();
                    audioEnded = true;
                }
                break;
            }
            if (frontEnd) {
                frames.clear();
                frontEnd->process(samples.data(), samples.size(), frames);
                segmenter.push(frames.data(), frames.size());
            } else {
                segmenter.push(samples.data(), samples.size());
            }
            break;
        }
        if (ok && !capture.errors.isEmpty()) {
            failWith("");
            ok = false;
        }
        if (ok)
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
    if (ok && !m_cancelled.load()) {
        // The audio has ended: a sentence left open will get no more words.
        if (const auto last = transcript.openSentence())
            reportSentence(*last);
        m_request->setFinished();
    }
}
