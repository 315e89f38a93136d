#pragma once

#include "captioning/NoiseSuppressor.h"

#include <cstddef>
#include <memory>
#include <vector>

// What the recognizer hears: the captured sound made steady before it is decoded. Samples are cleaned
// (values that are not numbers become silence, a DC offset is filtered out), brought to a steady speech
// level by an automatic gain with a ceiling, and freed of background noise by a suppressor. Works in
// 10 ms frames at 16000 Hz; no I/O, one thread.
class SoundFrontEnd final
{
public:
    static constexpr std::size_t frameSamples = NoiseSuppressor::frameSamples;

    struct Options {
        // The level speech is brought to: loud frames of speech (10 ms RMS) sit about here.
        double targetDbfs = -32.0;
        // Speech within this many dB of the target passes without gain.
        double bandDb = 6.0;
        // The most the gain raises a quiet source, and the most it lowers a loud one.
        double maxGainDb = 30.0;
        double minGainDb = -20.0;
        // Peaks are held below this after the gain, whatever the level did a moment ago.
        float ceiling = 0.9f;
    };

    // Without a suppressor the noise passes as it is; the level is still made steady.
    explicit SoundFrontEnd(std::unique_ptr<NoiseSuppressor> suppressor);
    SoundFrontEnd(std::unique_ptr<NoiseSuppressor> suppressor, Options options);
    ~SoundFrontEnd();
    SoundFrontEnd(const SoundFrontEnd &) = delete;
    SoundFrontEnd &operator=(const SoundFrontEnd &) = delete;

    // Appends to `out` every whole frame that `count` more samples complete; a partial frame waits for
    // the next call (see flush()).
    void process(const float *samples, std::size_t count, std::vector<float> &out);
    // The partial frame, padded with silence, at the end of the audio.
    void flush(std::vector<float> &out);

    double gainDb() const { return m_gainDb; }
    // The estimated level of speech in the input, in dBFS; the target before any speech was heard.
    double speechLevelDbfs() const { return m_speechDb; }

private:
    void processFrame(float *frame);

    std::unique_ptr<NoiseSuppressor> m_suppressor;
    const Options m_options;
    std::vector<float> m_pending;
    // DC blocker state.
    float m_lastIn = 0;
    float m_lastOut = 0;
    double m_noiseFloorDb;
    double m_speechDb;
    double m_gainDb = 0;
    std::size_t m_activeFrames = 0;
    bool m_levelKnown = false;
};
