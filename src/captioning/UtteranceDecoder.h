#pragma once

#include "captioning/SpeechEngine.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What an engine made of one utterance: its text and, where the engine knows them, its words with their
// times in seconds from the utterance's first sample. When the words are given, they are the text's
// words in order (split at white space).
struct DecodedUtterance {
    QString text;
    std::vector<TimedWord> words;
};

// One engine's decoder, driven utterance by utterance by a segmented recognition task on the task's
// worker thread. The task decides where utterances begin and end, how the audio is treated before it
// arrives here and how often partial text is asked for; a decoder only turns audio into words.
class UtteranceDecoder
{
public:
    virtual ~UtteranceDecoder() = default;

    // Whether the decoder tells speech from silence itself (see inSpeech()); otherwise the task's own
    // voice-activity detector decides, and the decoder is given speech only.
    virtual bool hearsSpeech() const = 0;
    // Whether its text carries capitals and punctuation of its own; otherwise it is bare lower-case words
    // that the task's sentence style writes out.
    virtual bool writesText() const = 0;
    // The longest stretch of speech to give one utterance before it is cut at a quiet moment.
    virtual double maxUtteranceSeconds() const = 0;
    // How many samples of a growing utterance may pass between two partial texts. The task asks again
    // only after that many more samples have been fed.
    virtual std::size_t partialIntervalSamples(std::size_t utteranceSamples) const = 0;

    // Each returns false on a failure, which error() then describes.
    virtual bool begin() = 0;
    virtual bool feed(const float *samples, std::size_t count) = 0;
    // After feed(), for a decoder that hears speech: whether it is hearing speech now.
    virtual bool inSpeech() const { return false; }
    // The text of the open utterance so far.
    virtual std::optional<QString> partial() = 0;
    virtual bool end(DecodedUtterance &out) = 0;
    // Drops the open utterance without a result.
    virtual void abandon() = 0;

    // What went wrong, or an error the engine reported on its own since the last call; empty when none.
    virtual QString takeError() = 0;
};

// Makes a decoder on the task's worker thread: loading a model can take seconds. Gives up early when
// `cancelled` becomes true; on failure, null and the reason in `error`. A source that falls back on another
// engine's decoder returns it with `error` saying why, for the user to be told.
using UtteranceDecoderSource
    = std::function<std::unique_ptr<UtteranceDecoder>(const std::atomic<bool> &cancelled, QString *error)>;
