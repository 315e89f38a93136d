#pragma once

#include "captioning/SentenceStyle.h"
#include "captioning/SpeechEngine.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// Where an utterance's words lie on the audio clock, in seconds.
struct UtteranceTiming {
    double start = 0;
    double end = 0;
    std::vector<TimedWord> words;
};

// The running transcription of one recognition task: the finished sentences, then the sentence still
// open, then the hypothesis of the utterance being decoded. An utterance ends at every pause, and a
// speaker pauses mid-sentence too.
// - Bare words (an engine that writes no capitals or marks) are written out by the sentence style: an
//   utterance whose words plainly stop short ("... in his power to") leaves its sentence open for the next
//   one to continue, and only finished sentences end with a mark.
// - Written text (an engine with capitals and punctuation of its own) is kept as the engine wrote it and
//   split into sentences at its closing marks; words after the last mark stay open for the next utterance.
// Either way a long pause finishes the open sentence as soon as it has lasted that long, and a sentence runs
// from its first word's start to its last word's end, over every utterance it took. Pure logic, no engine calls.
class RunningTranscript final
{
public:
    // Finished text beyond this many characters loses its oldest sentences. Captions show far less than
    // this, so what a reader sees is the same, and an all-day session keeps a bounded string.
    static constexpr qsizetype maxFinalisedChars = 16000;
    // An open sentence is finished once it holds more words than this, whatever its last word, and
    // before an utterance would take it beyond maxSentenceWords: a caption line must not grow for ever.
    static constexpr qsizetype openSentenceWords = 30;
    static constexpr qsizetype maxSentenceWords = 40;
    // A speaker who stays silent this long has finished the sentence, however it ends. Pauses inside a
    // sentence that end an utterance are shorter: at most 0.4 s between the words either side on the light
    // engine's robustness recordings, slow and noisy ones included.
    static constexpr double maxPauseSeconds = 1.0;

    // Without a style, the plain one.
    explicit RunningTranscript(std::shared_ptr<const SentenceStyle> style = {});

    // Whether hypotheses from now on are written text rather than bare words.
    void setWrittenText(bool written) { m_written = written; }

    void setPartial(const QString &hypothesis);
    // Ends the current utterance with its final hypothesis.
    void finaliseUtterance(const QString &hypothesis, UtteranceTiming timing = {});
    // Nothing has been said since the open sentence's last word, up to `seconds` on the audio clock: a
    // pause longer than maxPauseSeconds finishes it now, rather than when the next words come.
    void silentUntil(double seconds);

    // Finishes the open sentence whatever its last word, as a long pause does.
    void finishSentence() { finishOpen(); }

    // The sentences finished since the last call, oldest first.
    std::vector<TimedSentence> takeFinishedSentences() { return std::exchange(m_finishedSentences, {}); }
    // The open sentence as it would read finished, for the end of the audio; nothing when none is open.
    std::optional<TimedSentence> openSentence() const;

    QString text() const;
    // The text when it differs from what was last taken; nothing when it is unchanged.
    std::optional<QString> takeIfChanged();

private:
    void finishOpen();
    void appendWritten(const QStringList &words, UtteranceTiming timing);
    static bool endsSentence(const QString &word);

    std::shared_ptr<const SentenceStyle> m_style;
    QStringList m_finalised;
    qsizetype m_finalisedChars = 0;
    QStringList m_open;
    UtteranceTiming m_openTiming;
    std::vector<TimedSentence> m_finishedSentences;
    QStringList m_partial;
    QString m_lastTaken;
    bool m_written = false;
};
