#include "captioning/UtteranceSegmenter.h"

#include <algorithm>
#include <limits>
#include <utility>

UtteranceSegmenter::UtteranceSegmenter(Options options) : m_options(options)
{
    m_options.pieceFrames = std::max<std::size_t>(1, m_options.pieceFrames);
    m_options.maxSpeechFrames = std::max<std::size_t>(2, m_options.maxSpeechFrames);
    m_options.searchFrames = std::clamp<std::size_t>(m_options.searchFrames, 1, m_options.maxSpeechFrames - 1);
}

void UtteranceSegmenter::push(const float *samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        m_partial.push_back(samples[i]);
        if (m_partial.size() == frameSamples)
            m_frames.push_back(std::exchange(m_partial, {}));
    }
}

void UtteranceSegmenter::endOfAudio()
{
    if (!m_partial.empty()) {
        m_partial.resize(frameSamples, 0.0f);
        m_frames.push_back(std::exchange(m_partial, {}));
    }
    m_ended = true;
}

void UtteranceSegmenter::resetUtterance()
{
    m_utteranceOpen = false;
    m_speechSeen = false;
    m_speechFrames = 0;
    m_idleFrames = 0;
    m_holding = false;
    m_cutAfterPiece = false;
}

std::size_t UtteranceSegmenter::quietestFrame(const std::vector<double> &levels)
{
    constexpr std::size_t half = 2; // a 50 ms window: one quiet sample inside a vowel is not a gap
    if (levels.size() <= 2 * half)
        return levels.size() / 2;
    std::size_t best = half;
    double bestSum = std::numeric_limits<double>::infinity();
    for (std::size_t centre = half; centre + half < levels.size(); ++centre) {
        double sum = 0;
        for (std::size_t i = centre - half; i <= centre + half; ++i)
            sum += levels[i];
        // Ties go to the later point, nearer the cap, so the finished utterance keeps as much as it can.
        if (sum <= bestSum) {
            bestSum = sum;
            best = centre;
        }
    }
    return best;
}

UtteranceSegmenter::Step UtteranceSegmenter::next()
{
    if (m_awaitingReport)
        return {};
    if (m_pending != Kind::None) {
        const Kind kind = std::exchange(m_pending, Kind::None);
        if (kind == Kind::Cut)
            ++m_cuts;
        else if (kind == Kind::RestartIdle)
            ++m_idleRestarts;
        resetUtterance();
        return { kind, {} };
    }

    if (m_holding) {
        if (m_frames.size() < m_options.searchFrames && !m_ended)
            return {}; // the second before the cap is not complete yet
        const std::size_t window = std::min(m_frames.size(), m_options.searchFrames);
        std::vector<double> levels;
        levels.reserve(window);
        for (std::size_t f = 0; f < window; ++f) {
            double sum = 0;
            for (float s : m_frames[f])
                sum += double(s) * double(s);
            levels.push_back(sum);
        }
        const std::size_t cut = window == 0 ? 0 : quietestFrame(levels);
        m_holding = false;
        if (cut == 0) {
            m_pending = Kind::Cut;
            return next();
        }
        m_cutAfterPiece = true;
        return decodeFrames(cut);
    }

    if (m_frames.empty())
        return {};
    std::size_t n = std::min(m_options.pieceFrames, m_frames.size());
    if (m_speechSeen) {
        // Stop exactly where holding back begins.
        const std::size_t holdAt = m_options.maxSpeechFrames - m_options.searchFrames;
        if (m_speechFrames < holdAt)
            n = std::min(n, holdAt - m_speechFrames);
    }
    return decodeFrames(n);
}

UtteranceSegmenter::Step UtteranceSegmenter::decodeFrames(std::size_t n)
{
    Step step { Kind::Decode, {} };
    step.samples.reserve(n * frameSamples);
    for (std::size_t f = 0; f < n; ++f) {
        step.samples.insert(step.samples.end(), m_frames.front().begin(), m_frames.front().end());
        m_frames.pop_front();
    }
    m_utteranceOpen = true;
    m_awaitingReport = true;
    m_lastPieceFrames = n;
    return step;
}

void UtteranceSegmenter::report(bool inSpeech)
{
    if (!m_awaitingReport)
        return;
    m_awaitingReport = false;
    const std::size_t n = std::exchange(m_lastPieceFrames, 0);
    if (m_speechSeen) {
        m_speechFrames += n;
    } else if (inSpeech) {
        m_speechSeen = true;
        m_speechFrames = n;
    } else {
        m_idleFrames += n;
    }

    if (m_cutAfterPiece) {
        // The cut was chosen before this piece was decoded; a pause the decoder found in it ends the
        // utterance at the same place.
        m_pending = inSpeech || !m_speechSeen ? Kind::Cut : Kind::EndAtPause;
        m_cutAfterPiece = false;
    } else if (m_speechSeen && !inSpeech) {
        m_pending = Kind::EndAtPause;
    } else if (!m_speechSeen && m_idleFrames >= m_options.idleRestartFrames) {
        m_pending = Kind::RestartIdle;
    } else if (m_speechSeen && m_speechFrames + m_options.searchFrames >= m_options.maxSpeechFrames) {
        m_holding = true;
    }
}
