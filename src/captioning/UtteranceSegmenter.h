#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// Decides where the recognizer's utterances begin and end. It is given the audio in 10 ms frames and,
// after each piece it handed to the decoder, whether the decoder hears speech; it answers with what to do
// next. An utterance ends at the first pause after speech. Speech that runs on without a pause is cut
// once it has lasted `maxSpeechFrames`, counted from its first speech frame: the last second before that
// point is held back from the decoder and the cut goes at its quietest moment, so that no word is split.
// A decoder that has heard no speech for a long time is restarted quietly: that produces no text and
// counts towards nothing. Pure logic: no engine calls, no I/O.
class UtteranceSegmenter final
{
public:
    static constexpr std::size_t frameSamples = 160;

    struct Options {
        std::size_t maxSpeechFrames = 1200; // 12 s
        // How far before the cap the cut may go.
        std::size_t searchFrames = 100;
        // Frames per piece handed to the decoder.
        std::size_t pieceFrames = 10;
        // An utterance with no speech at all is restarted after this long.
        std::size_t idleRestartFrames = 3000;
    };

    enum class Kind {
        None, // nothing to do until more audio arrives
        Decode, // give `samples` to the decoder (starting an utterance first if none is open), then report
        EndAtPause, // end the utterance: the speaker paused
        Cut, // end the utterance: the speech ran too long; the audio after the cut follows in a new one
        RestartIdle, // end the utterance without text and without counting it; start afresh
    };

    struct Step {
        Kind kind = Kind::None;
        std::vector<float> samples;
    };

    UtteranceSegmenter() : UtteranceSegmenter(Options {}) { }
    explicit UtteranceSegmenter(Options options);

    // Any number of samples: a partial frame waits for the rest.
    void push(const float *samples, std::size_t count);
    // No more audio: what is held back is released, a partial frame padded with silence.
    void endOfAudio();

    // The next thing to do. After a Decode step, report() must be called before next() again.
    Step next();
    // Whether the decoder heard speech at the end of the last piece it was given.
    void report(bool inSpeech);

    // Frames of speech in the current utterance so far, counted from its first speech frame.
    std::size_t speechFrames() const { return m_speechFrames; }
    bool isHolding() const { return m_holding; }
    std::uint64_t cuts() const { return m_cuts; }
    std::uint64_t idleRestarts() const { return m_idleRestarts; }

    // The frame (index into `levels`) after which a cut does least harm: the middle of the quietest
    // 50 ms stretch. `levels` are frame energies.
    static std::size_t quietestFrame(const std::vector<double> &levels);

private:
    void resetUtterance();
    Step decodeFrames(std::size_t n);

    Options m_options;
    std::deque<std::vector<float>> m_frames; // not yet given to the decoder
    std::vector<float> m_partial;
    bool m_ended = false;
    bool m_awaitingReport = false;
    std::size_t m_lastPieceFrames = 0;
    bool m_utteranceOpen = false;
    bool m_speechSeen = false;
    std::size_t m_speechFrames = 0;
    std::size_t m_idleFrames = 0;
    bool m_holding = false;
    bool m_cutAfterPiece = false;
    Kind m_pending = Kind::None;
    std::uint64_t m_cuts = 0;
    std::uint64_t m_idleRestarts = 0;
};
