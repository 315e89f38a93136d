#include "captioning/SoundFrontEnd.h"

#include <algorithm>
#include <cmath>

namespace {

// Frames quieter than this are digital silence or dither: they never move the level estimates, so a
// silent stream keeps its gain and stays silent.
constexpr double silenceDbfs = -85.0;
// A frame this far above the noise floor counts as speech (or at least as something louder than the
// background) for the level estimate.
constexpr double activityMarginDb = 6.0;
// The noise floor follows a quieter frame at once and creeps up otherwise (2 dB a second), so that it
// tracks the background between words and recovers when the background gets louder. It starts at full
// scale, so that the first sound heard sets it: background noise before speech is never taken for speech.
constexpr double floorRisePerFrame = 0.02;
// The speech level rises quickly to louder speech (a sudden jump in level must not stay too loud for long)
// and falls slowly (about two seconds), so that the gaps and soft sounds of speech do not pump the gain.
constexpr double levelRiseRate = 0.3;
constexpr double levelFallRate = 0.005;
// Once the level is known the gain changes slowly, 2 dB a second: the recognizer normalises its features
// with running means and estimates the noise slowly too, and a gain that follows every word would look to
// it like a changing voice and a changing background. The first half second of speech passes untouched
// (a gain that jumps on the first syllable makes the recognizer hear a word that was not said) and then
// sets the gain at once.
constexpr double gainSlewPerFrame = 0.02;
constexpr std::size_t warmUpFrames = 50;
// A source that gets much louder (10 dB beyond what the gain expects) is brought down within a second;
// the limiter below keeps its peaks under the ceiling meanwhile.
constexpr double loudJumpDb = 10.0;
constexpr double gainFallPerFrameAfterJump = 0.5;
// Pole of the DC blocker: a corner near 0.25 Hz. It removes a steady offset within a second or two and
// leaves the onset of speech alone: a 13 Hz corner turned the small offset of some recordings into a click
// at the first syllable, and the recognizer heard a word in it.
constexpr float dcPole = 0.9999f;

double frameDbfs(const float *frame, std::size_t n)
{
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += double(frame[i]) * double(frame[i]);
    const double meanSquare = sum / double(n);
    return meanSquare > 0 ? 10.0 * std::log10(meanSquare) : -200.0;
}

} // namespace

SoundFrontEnd::SoundFrontEnd(std::unique_ptr<NoiseSuppressor> suppressor)
    : SoundFrontEnd(std::move(suppressor), Options {})
{ }

SoundFrontEnd::SoundFrontEnd(std::unique_ptr<NoiseSuppressor> suppressor, Options options)
    : m_suppressor(std::move(suppressor)), m_options(options), m_noiseFloorDb(0.0), m_speechDb(options.targetDbfs)
{
    m_pending.reserve(frameSamples);
}

SoundFrontEnd::~SoundFrontEnd() = default;

void SoundFrontEnd::process(const float *samples, std::size_t count, std::vector<float> &out)
{
    for (std::size_t i = 0; i < count; ++i) {
        m_pending.push_back(samples[i]);
        if (m_pending.size() == frameSamples) {
            processFrame(m_pending.data());
            out.insert(out.end(), m_pending.begin(), m_pending.end());
            m_pending.clear();
        }
    }
}

void SoundFrontEnd::flush(std::vector<float> &out)
{
    if (m_pending.empty())
        return;
    m_pending.resize(frameSamples, 0.0f);
    processFrame(m_pending.data());
    out.insert(out.end(), m_pending.begin(), m_pending.end());
    m_pending.clear();
}

void SoundFrontEnd::processFrame(float *frame)
{
    // Digital silence stays exactly that: no filter tail, no suppressor output, nothing to hear words in.
    if (std::all_of(frame, frame + frameSamples, [](float x) { return x == 0.0f || !std::isfinite(x); })) {
        std::fill(frame, frame + frameSamples, 0.0f);
        m_lastIn = m_lastOut = 0;
        m_noiseFloorDb = std::min(m_noiseFloorDb, silenceDbfs); // the background is silence
        return;
    }
    // Clean: a value that is not a number carries no sound; out-of-range floats are clipped as a
    // converter would clip them.
    for (std::size_t i = 0; i < frameSamples; ++i) {
        const float x = std::isfinite(frame[i]) ? std::clamp(frame[i], -1.0f, 1.0f) : 0.0f;
        const float y = x - m_lastIn + dcPole * m_lastOut;
        m_lastIn = x;
        m_lastOut = std::isfinite(y) ? y : 0.0f;
        frame[i] = m_lastOut;
    }

    const double db = frameDbfs(frame, frameSamples);
    if (db <= silenceDbfs)
        m_noiseFloorDb = std::min(m_noiseFloorDb, silenceDbfs); // dither: the background is silence
    else {
        m_noiseFloorDb = db < m_noiseFloorDb ? db : m_noiseFloorDb + floorRisePerFrame;
        if (db > m_noiseFloorDb + activityMarginDb) {
            // The first half second of activity sets the level quickly, as a running mean; after that
            // it follows slowly.
            ++m_activeFrames;
            const double warmUp = 1.0 / double(std::min(m_activeFrames, warmUpFrames));
            const double rate = db > m_speechDb ? std::max(levelRiseRate, warmUp) : std::max(levelFallRate, warmUp);
            m_speechDb += rate * (db - m_speechDb);
        }
    }

    // Speech near the target is left at its level; a source well off it is brought to the edge of that
    // band. The recognizer does best on sound at an ordinary level, and any gain movement costs it a
    // little, so ordinary sources are better left alone.
    const double offTarget = m_options.targetDbfs - m_speechDb;
    const double wanted = std::clamp(offTarget > m_options.bandDb ? offTarget - m_options.bandDb
            : offTarget < -m_options.bandDb                       ? offTarget + m_options.bandDb
                                                                  : 0.0,
        m_options.minGainDb, m_options.maxGainDb);
    const double previous = m_gainDb;
    if (!m_levelKnown) {
        // Until the level is known the first sounds of speech pass as they are.
        if (m_activeFrames >= warmUpFrames) {
            m_levelKnown = true;
            m_gainDb = wanted;
        }
    } else if (wanted < m_gainDb - loudJumpDb)
        m_gainDb = std::max(wanted, m_gainDb - gainFallPerFrameAfterJump);
    else
        m_gainDb = std::clamp(wanted, m_gainDb - gainSlewPerFrame, m_gainDb + gainSlewPerFrame);

    float peak = 0;
    for (std::size_t i = 0; i < frameSamples; ++i)
        peak = std::max(peak, std::abs(frame[i]));
    const double linearStart = std::pow(10.0, previous / 20.0);
    double linearEnd = std::pow(10.0, m_gainDb / 20.0);
    if (peak * std::max(linearStart, linearEnd) > m_options.ceiling) {
        // Limit this frame at once; the level estimate catches up over the next frames.
        linearEnd = std::min(linearEnd, double(m_options.ceiling) / peak);
        m_gainDb = 20.0 * std::log10(linearEnd);
        for (std::size_t i = 0; i < frameSamples; ++i)
            frame[i] = float(frame[i] * linearEnd);
    } else {
        // Ramp across the frame so that a change of gain does not click.
        const double step = (linearEnd - linearStart) / double(frameSamples);
        for (std::size_t i = 0; i < frameSamples; ++i)
            frame[i] = std::clamp(float(frame[i] * (linearStart + step * double(i + 1))), -1.0f, 1.0f);
    }

    if (m_suppressor)
        m_suppressor->process(frame);
}
