#include "captioning/VoiceActivityDetector.h"

#include <algorithm>
#include <bit>
#include <cmath>

VoiceActivityDetector::VoiceActivityDetector(Options options) : m_options(options)
{
    m_options.onsetWindow = std::clamp<std::size_t>(m_options.onsetWindow, 1, 32);
    m_options.onsetFrames = std::clamp<std::size_t>(m_options.onsetFrames, 1, m_options.onsetWindow);
    m_options.pauseFrames = std::clamp<std::size_t>(m_options.pauseFrames, 1, 64);
}

bool VoiceActivityDetector::process(const float *samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        m_partial[m_partialCount++] = samples[i];
        if (m_partialCount == frameSamples) {
            frame(m_partial);
            m_partialCount = 0;
        }
    }
    return m_inSpeech;
}

void VoiceActivityDetector::frame(const float *samples)
{
    double sum = 0;
    for (std::size_t i = 0; i < frameSamples; ++i)
        sum += std::isfinite(samples[i]) ? double(samples[i]) * double(samples[i]) : 0.0;
    m_smoothed = m_backgroundKnown ? 0.6 * m_smoothed + 0.4 * (sum / frameSamples) : sum / frameSamples;
    const double db = 10.0 * std::log10(m_smoothed + 1e-12);

    // The background follows quiet stretches quickly and loud ones slowly, so that a minute of speech does
    // not become the background, while a room that grows noisier soon does.
    if (!m_backgroundKnown) {
        m_backgroundDb = db;
        m_backgroundKnown = true;
    } else if (db < m_backgroundDb) {
        m_backgroundDb += 0.2 * (db - m_backgroundDb);
    } else {
        m_backgroundDb += 0.002 * (db - m_backgroundDb);
    }

    const bool loud = db > m_options.floorDbfs && db > m_backgroundDb + m_options.marginDb;
    const unsigned window = (1u << m_options.onsetWindow) - 1u;
    m_recentLoud = ((m_recentLoud << 1) | (loud ? 1u : 0u)) & window;
    const std::uint64_t pauseMask
        = m_options.pauseFrames >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << m_options.pauseFrames) - 1;
    m_pauseWindow = ((m_pauseWindow << 1) | (loud ? 1u : 0u)) & pauseMask;
    if (!m_inSpeech) {
        if (std::size_t(std::popcount(m_recentLoud)) >= m_options.onsetFrames) {
            m_inSpeech = true;
            m_sinceOnset = 0;
        }
    } else if (++m_sinceOnset >= m_options.pauseFrames
        && std::size_t(std::popcount(m_pauseWindow)) <= m_options.pauseLoudFrames) {
        m_inSpeech = false;
    }
}
