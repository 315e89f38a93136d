#pragma once

#include <cstddef>
#include <cstdint>

// Tells speech from silence for decoders that cannot (Whisper decodes whatever it is given, and invents
// words from silence and hiss). Works on the levelled audio of the sound front end in 10 ms frames: a
// frame is loud when its level, smoothed over a few frames so that the flicker of noise does not count,
// stands well above the background level it tracks and above an absolute floor. Speech begins after a few
// loud frames close together and ends once a pause long enough to be one holds hardly a loud frame, so
// that the short gaps between words do not end an utterance. Pure logic, one thread.
class VoiceActivityDetector final
{
public:
    static constexpr std::size_t frameSamples = 160;

    struct Options {
        // A frame this far above the background is loud.
        double marginDb = 7.0;
        // Quieter frames are never speech, whatever the background.
        double floorDbfs = -55.0;
        // Loud frames among the last `onsetWindow` that begin speech.
        std::size_t onsetFrames = 4;
        std::size_t onsetWindow = 8;
        // A pause of this many frames with at most `pauseLoudFrames` loud ones ends it.
        std::size_t pauseFrames = 45;
        std::size_t pauseLoudFrames = 2;
    };

    VoiceActivityDetector() : VoiceActivityDetector(Options {}) { }
    explicit VoiceActivityDetector(Options options);

    // Any number of samples; a partial frame waits for the rest. Returns whether speech is heard at the
    // end of them.
    bool process(const float *samples, std::size_t count);
    bool inSpeech() const { return m_inSpeech; }
    double backgroundDbfs() const { return m_backgroundDb; }

private:
    void frame(const float *samples);

    Options m_options;
    float m_partial[frameSamples] {};
    std::size_t m_partialCount = 0;
    double m_backgroundDb = -70.0;
    bool m_backgroundKnown = false;
    double m_smoothed = 0; // mean square, smoothed
    unsigned m_recentLoud = 0; // a bit per recent frame, newest lowest
    std::uint64_t m_pauseWindow = 0; // the same, over a pause's length
    std::size_t m_sinceOnset = 0;
    bool m_inSpeech = false;
};
