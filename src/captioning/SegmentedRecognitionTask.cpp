#include "captioning/SegmentedRecognitionTask.h"

#include "base/BackgroundDisposal.h"
#include "base/Log.h"
#include "captioning/RunningTranscript.h"
#include "captioning/SentenceStyle.h"
#include "captioning/SoundFrontEnd.h"
#include "captioning/UtteranceSegmenter.h"
#include "captioning/VoiceActivityDetector.h"

#include <QScopeGuard>

#include <algorithm>
#include <deque>
#include <vector>

namespace {

// A quarter of a second per step: small enough for captions to follow speech closely and for cancel to
// take effect quickly, large enough to keep the per-step overhead low.
constexpr std::size_t chunkFrames = 4096;
constexpr std::chrono::milliseconds idleWait { 100 };
// For decoders given speech only, the audio just before the detector was sure: a word's soft start
// comes before the loud frames that convince it.
constexpr std::size_t prerollSamples = SpeechAudioRequest::sampleRate * 3 / 10;
// Audio waiting in the queue at which partial text is asked for half as often (up to maxSlowdown times
// less often), and at which, at the slowest, a lighter decoder takes over.
constexpr std::size_t behindSamples = 3 * SpeechAudioRequest::sampleRate;
constexpr std::size_t farBehindSamples = 6 * SpeechAudioRequest::sampleRate;
constexpr std::size_t caughtUpSamples = SpeechAudioRequest::sampleRate / 4;
constexpr unsigned maxSlowdown = 4;

double seconds(std::uint64_t samples)
{
    return double(samples) / double(SpeechAudioRequest::sampleRate);
}

// Where the samples given to the segmenter lie on the request's clock. They follow on from each other
// until the queue drops audio; from then on they are that much later.
class AudioClock final
{
public:
    void taken(std::uint64_t firstIndex, std::size_t count)
    {
        const std::int64_t offset = std::int64_t(firstIndex) - std::int64_t(m_local);
        if (offset != (m_jumps.empty() ? 0 : m_jumps.back().second))
            m_jumps.emplace_back(m_local, offset);
        m_local += count;
    }
    std::uint64_t absolute(std::uint64_t local) const
    {
        std::int64_t offset = 0;
        for (const auto &[from, jump] : m_jumps) {
            if (from > local)
                break;
            offset = jump;
        }
        return std::uint64_t(std::int64_t(local) + offset);
    }
    // Samples before `local` will not be asked about again.
    void forgetBefore(std::uint64_t local)
    {
        while (m_jumps.size() > 1 && m_jumps[1].first <= local)
            m_jumps.pop_front();
    }

private:
    std::uint64_t m_local = 0;
    std::deque<std::pair<std::uint64_t, std::int64_t>> m_jumps;
};

UtteranceSegmenter::Options segmentation(const UtteranceDecoder &decoder)
{
    UtteranceSegmenter::Options options;
    options.maxSpeechFrames
        = std::size_t(std::max(1.0, decoder.maxUtteranceSeconds()) * double(SpeechAudioRequest::sampleRate))
        / UtteranceSegmenter::frameSamples;
    return options;
}

} // namespace

SegmentedRecognitionTask::SegmentedRecognitionTask(UtteranceDecoderSource decoders,
    std::shared_ptr<SpeechAudioRequest> request, SpeechRecognizer::ResultHandler handler, QString localeIdentifier,
    Options options)
    : m_decoders(std::move(decoders)), m_request(std::move(request)), m_handler(std::move(handler)),
      m_locale(std::move(localeIdentifier)), m_options(std::move(options))
{
    m_request->setConsumerAttached(true);
    m_worker = std::thread([this] { run(); });
}

std::shared_ptr<SpeechRecognitionTask> SegmentedRecognitionTask::launch(UtteranceDecoderSource decoders,
    std::shared_ptr<SpeechAudioRequest> request, SpeechRecognizer::ResultHandler handler, QString localeIdentifier,
    Options options)
{
    return std::shared_ptr<SegmentedRecognitionTask>(
        new SegmentedRecognitionTask(std::move(decoders), std::move(request), std::move(handler),
            std::move(localeIdentifier), std::move(options)),
        [](SegmentedRecognitionTask *task) {
            task->cancel();
            BackgroundDisposal::run([task] { delete task; });
        });
}

SegmentedRecognitionTask::~SegmentedRecognitionTask()
{
    cancel();
    if (m_worker.joinable())
        m_worker.join();
    m_request->setConsumerAttached(false);
}

void SegmentedRecognitionTask::report(const std::optional<QString> &text, const std::optional<QString> &error)
{
    std::lock_guard reporting(m_reporting);
    if (!m_cancelled.load() && m_handler)
        m_handler(text, error);
}

void SegmentedRecognitionTask::reportSentence(const TimedSentence &sentence)
{
    std::lock_guard reporting(m_reporting);
    if (!m_cancelled.load() && m_request->sentenceHandler)
        m_request->sentenceHandler(sentence);
}

void SegmentedRecognitionTask::reportNotice(const QString &notice)
{
    std::lock_guard reporting(m_reporting);
    if (!m_cancelled.load() && m_request->noticeHandler)
        m_request->noticeHandler(notice);
}

void SegmentedRecognitionTask::confirm(const std::function<void()> &delivered)
{
    std::lock_guard reporting(m_reporting);
    if (!m_cancelled.load() && delivered)
        delivered();
}

void SegmentedRecognitionTask::cancel()
{
    m_cancelled.store(true);
    {
        std::lock_guard reporting(m_reporting); // a report under way ends before this returns
    }
    m_request->interrupt();
    if (m_options.wake)
        m_options.wake();
}

void SegmentedRecognitionTask::endAudio()
{
    m_request->endAudio();
}

void SegmentedRecognitionTask::finishSentence(std::function<void()> delivered)
{
    {
        std::lock_guard lock(m_finishing);
        if (!m_runEnded) {
            m_finishRequests.push_back({ m_request->appendedFrames(), std::move(delivered) });
            return;
        }
    }
    confirm(delivered);
}

void SegmentedRecognitionTask::run()
{
    std::uint64_t takenEnd = 0; // on the request's clock: where the audio taken so far ends
    // The requests to finish a sentence whose audio has all been taken; every one once the task ends.
    const auto dueFinishes = [&](bool ending) {
        std::vector<std::function<void()>> due;
        std::lock_guard lock(m_finishing);
        m_runEnded = ending;
        for (auto it = m_finishRequests.begin(); it != m_finishRequests.end();) {
            if (!ending && it->afterFrame > takenEnd) {
                ++it;
                continue;
            }
            due.push_back(std::move(it->delivered));
            it = m_finishRequests.erase(it);
        }
        return due;
    };
    const auto ended = qScopeGuard([&] {
        for (const auto &delivered : dueFinishes(true))
            confirm(delivered);
    });

    QString loadError;
    std::unique_ptr<UtteranceDecoder> decoder = m_decoders(m_cancelled, &loadError);
    if (!decoder) {
        report(std::nullopt, loadError);
        return;
    }
    // A source that had to settle for another decoder says why.
    if (!loadError.isEmpty())
        reportNotice(loadError);

    RunningTranscript transcript(SentenceStyle::forLocale(m_locale));
    transcript.setWrittenText(decoder->writesText());
    const auto deliver = [&] {
        if (m_cancelled.load())
            return;
        if (auto text = transcript.takeIfChanged())
            report(*text, std::nullopt);
        for (const TimedSentence &sentence : transcript.takeFinishedSentences())
            reportSentence(sentence);
    };
    bool ok = true;
    const auto fail = [&](const char *fallback) {
        QString error = decoder->takeError();
        if (error.isEmpty())
            error = QString::fromUtf8(fallback);
        report(std::nullopt, error);
        ok = false;
    };

    // The front end and the segmenter work here, on the task's thread, never on the capture thread.
    std::unique_ptr<SoundFrontEnd> frontEnd;
    if (m_options.frontEnd)
        frontEnd = std::make_unique<SoundFrontEnd>(m_options.noiseSuppressor ? m_options.noiseSuppressor() : nullptr);
    UtteranceSegmenter segmenter(segmentation(*decoder));
    VoiceActivityDetector voice;
    AudioClock clock;

    std::vector<float> samples, frames;
    std::deque<float> preroll;
    bool inUtterance = false;
    bool audioEnded = false;
    bool drained = false;
    std::uint64_t samplesSincePartial = 0;
    std::uint64_t utteranceStart = 0; // in samples given to the segmenter
    unsigned slowdown = 1;

    const auto beginUtterance = [&](std::uint64_t start) {
        if (!decoder->begin()) {
            fail("The speech decoder could not start an utterance");
            return false;
        }
        inUtterance = true;
        samplesSincePartial = 0;
        utteranceStart = start;
        return true;
    };
    const auto endUtterance = [&] {
        DecodedUtterance decoded;
        inUtterance = false;
        if (!decoder->end(decoded)) {
            fail("The speech decoder could not end an utterance");
            return false;
        }
        const auto at = [&](double offset) {
            const double local = double(utteranceStart) + std::max(0.0, offset) * SpeechAudioRequest::sampleRate;
            return seconds(clock.absolute(std::uint64_t(local)));
        };
        UtteranceTiming timing { at(0), at(seconds(m_decoded.load() - utteranceStart)), {} };
        for (const TimedWord &word : decoded.words)
            timing.words.push_back({ word.text, at(word.start), at(word.end) });
        if (!timing.words.empty()) {
            timing.start = timing.words.front().start;
            timing.end = timing.words.back().end;
        }
        transcript.finaliseUtterance(decoded.text, std::move(timing));
        clock.forgetBefore(m_decoded.load());
        return true;
    };
    // Keeping up with live audio: partial text less often while audio waits, a lighter decoder when even
    // that is too much. A recording fed as fast as it is taken is always waiting, and wants the best text.
    const auto keepUp = [&] {
        if (!m_request->shouldReportPartialResults)
            return;
        const std::size_t queued = m_request->queuedFrames();
        if (queued > behindSamples && slowdown < maxSlowdown) {
            slowdown *= 2;
            SLOG_INFO(
                lcSpeech, "Recognizer behind by %.1f s, partial text %u times less often", seconds(queued), slowdown);
        } else if (queued > farBehindSamples && !inUtterance && m_options.lighter) {
            QString error;
            if (auto lighter = m_options.lighter(m_cancelled, &error); lighter && error.isEmpty()) {
                SLOG_ERROR(lcSpeech, "Recognizer behind by %.1f s, continuing with a lighter engine", seconds(queued));
                decoder = std::move(lighter);
                transcript.setWrittenText(decoder->writesText());
                slowdown = 1;
            }
        } else if (queued < caughtUpSamples && slowdown > 1 && !inUtterance) {
            slowdown /= 2;
        }
    };

    while (ok && !drained && !m_cancelled.load()) {
        UtteranceSegmenter::Step step = segmenter.next();
        switch (step.kind) {
        case UtteranceSegmenter::Kind::Decode: {
            const std::uint64_t pieceStart = m_decoded.fetch_add(step.samples.size());
            bool heard = false;
            if (decoder->hearsSpeech()) {
                if (!inUtterance && !beginUtterance(pieceStart))
                    break;
                if (!decoder->feed(step.samples.data(), step.samples.size())) {
                    fail("The speech decoder failed on the audio");
                    break;
                }
                heard = decoder->inSpeech();
            } else {
                // Only speech reaches such a decoder, with a moment of what came just before it.
                heard = voice.process(step.samples.data(), step.samples.size());
                if (!inUtterance && heard) {
                    if (!beginUtterance(pieceStart - preroll.size()))
                        break;
                    const std::vector<float> before(preroll.begin(), preroll.end());
                    preroll.clear();
                    if (!before.empty() && !decoder->feed(before.data(), before.size())) {
                        fail("The speech decoder failed on the audio");
                        break;
                    }
                }
                if (inUtterance) {
                    if (!decoder->feed(step.samples.data(), step.samples.size())) {
                        fail("The speech decoder failed on the audio");
                        break;
                    }
                } else {
                    preroll.insert(preroll.end(), step.samples.begin(), step.samples.end());
                    if (preroll.size() > prerollSamples)
                        preroll.erase(preroll.begin(), preroll.end() - std::ptrdiff_t(prerollSamples));
                }
            }
            segmenter.report(heard);
            const std::uint64_t speech = std::uint64_t(segmenter.speechFrames()) * UtteranceSegmenter::frameSamples;
            if (speech == 0)
                transcript.silentUntil(seconds(clock.absolute(m_decoded.load())));
            if (speech > m_longestUtterance.load())
                m_longestUtterance.store(speech);
            if (inUtterance && speech > 0 && m_request->shouldReportPartialResults) {
                samplesSincePartial += step.samples.size();
                const std::size_t interval
                    = decoder->partialIntervalSamples(std::size_t(m_decoded.load() - utteranceStart)) * slowdown;
                if (samplesSincePartial >= interval) {
                    samplesSincePartial = 0;
                    if (auto partial = decoder->partial())
                        transcript.setPartial(*partial);
                }
            }
            break;
        }
        case UtteranceSegmenter::Kind::Cut:
            m_forcedCuts.fetch_add(1);
            SLOG_DEBUG(lcSpeech, "Utterance cut after frames %u", m_longestUtterance.load());
            [[fallthrough]];
        case UtteranceSegmenter::Kind::EndAtPause:
            if (inUtterance)
                endUtterance();
            break;
        case UtteranceSegmenter::Kind::RestartIdle:
            // Nothing was said: the decoder starts afresh without a word of text.
            if (inUtterance) {
                decoder->abandon();
                inUtterance = false;
            }
            preroll.clear();
            break;
        case UtteranceSegmenter::Kind::None: {
            // Everything taken has been through the segmenter: a sentence asked for is finished here.
            if (const auto due = dueFinishes(false); !due.empty()) {
                if (!inUtterance || endUtterance()) {
                    transcript.finishSentence();
                    deliver();
                }
                for (const auto &delivered : due)
                    confirm(delivered);
                if (!ok)
                    break;
            }
            if (audioEnded) {
                drained = true;
                break;
            }
            keepUp();
            const std::uint64_t first = m_request->take(samples, chunkFrames, idleWait);
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
            clock.taken(first, samples.size());
            takenEnd = first + samples.size();
            if (frontEnd) {
                frames.clear();
                frontEnd->process(samples.data(), samples.size(), frames);
                segmenter.push(frames.data(), frames.size());
            } else {
                segmenter.push(samples.data(), samples.size());
            }
            break;
        }
        }
        if (ok) {
            if (const QString error = decoder->takeError(); !error.isEmpty()) {
                report(std::nullopt, error);
                ok = false;
            }
        }
        if (ok)
            deliver();
    }

    if (inUtterance) {
        if (m_cancelled.load() || !ok) {
            decoder->abandon();
            inUtterance = false;
        } else if (endUtterance()) {
            deliver();
        }
    }
    decoder.reset(); // gives a shared model's decoder back before the task reports its end
    if (ok && !m_cancelled.load()) {
        // The audio has ended: a sentence left open will get no more words.
        if (const auto last = transcript.openSentence())
            reportSentence(*last);
        m_request->setFinished();
    }
}
