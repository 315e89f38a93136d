#pragma once

#include "captioning/UtteranceDecoder.h"

#include <QStringList>

#include <memory>
#include <vector>

class WhisperModel;
struct whisper_context;
struct whisper_state;

// Whisper as an utterance decoder. Whisper decodes a window of audio, not a stream: the growing utterance
// is decoded again for its partial text, less often as it grows and with an encoder context sized to it,
// and once more when it ends. It cannot tell speech from silence and invents words from music and noise,
// so it is given speech only, and what it returns passes guards: no-speech and confidence thresholds,
// a bound on tokens per second of audio, a repetition check, and no sound descriptions ("[Music]").
// Made and used on one task's worker thread.
class WhisperDecoder final : public UtteranceDecoder
{
public:
    struct Options {
        // "en", "es", …: never guessed.
        QString language;
        int finalThreads = 2;
        int partialThreads = 1;
    };

    static std::unique_ptr<UtteranceDecoder> acquire(
        std::shared_ptr<WhisperModel> model, Options options, const std::atomic<bool> &cancelled, QString *error);
    ~WhisperDecoder() override;

    bool hearsSpeech() const override { return false; }
    bool writesText() const override { return true; }
    // Near half of Whisper's 30 s window: long enough for a sentence, short enough to re-decode.
    double maxUtteranceSeconds() const override { return 15.0; }
    // A second, and 15% of the utterance more as it grows: re-decoding costs more the longer it is.
    std::size_t partialIntervalSamples(std::size_t utteranceSamples) const override;

    bool begin() override;
    bool feed(const float *samples, std::size_t count) override;
    std::optional<QString> partial() override;
    bool end(DecodedUtterance &out) override;
    void abandon() override;
    QString takeError() override;

    // The guards on what Whisper wrote, as plain functions.
    // Words without the sound descriptions Whisper writes for what is not speech: "[Music]", "(upbeat
    // music)", "♪", "*laughs*".
    static std::vector<TimedWord> withoutSoundDescriptions(std::vector<TimedWord> words);
    // Words without a second copy of what they end with, when that is four words or more.
    static std::vector<TimedWord> withoutRepeatedEnd(std::vector<TimedWord> words);
    // Text that repeats itself as a decoder stuck in a loop does: the same word or phrase three or more
    // times in a row, or text that compresses far better than speech does.
    static bool isRepetitive(const QString &text);
    // What a display may show of a new partial text: the words settled so far stay as they are, words
    // that two successive decodes agree on become settled, and the rest follow as they are now.
    static QStringList settle(QStringList &settled, const QStringList &previous, const QStringList &current);

private:
    WhisperDecoder(std::shared_ptr<WhisperModel> model, whisper_context *context, Options options,
        const std::atomic<bool> &cancelled);

    struct Decoded {
        std::vector<TimedWord> words;
        bool speech = false;
    };
    bool decode(bool final, Decoded &out);
    float noSpeechProbability(whisper_state *state, int threads);

    const std::shared_ptr<WhisperModel> m_model;
    whisper_context *const m_context;
    const Options m_options;
    const std::atomic<bool> &m_cancelled;
    std::vector<float> m_audio;
    QStringList m_previousPartial;
    QStringList m_settled;
    QString m_error;
};
