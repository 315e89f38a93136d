#pragma once

#include "captioning/SentenceStyle.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// The running transcription of one recognition task: the finished sentences, then the sentence still
// open, then the hypothesis of the utterance being decoded. The engine ends an utterance at every pause,
// and a speaker pauses mid-sentence too: an utterance whose words plainly stop short ("... in his power
// to") leaves its sentence open for the next one to continue. Only finished sentences end with a mark.
// Pure logic, no engine calls.
class PocketSphinxTranscript final
{
public:
    // Finished text beyond this many characters loses its oldest sentences. Captions show far less than
    // this, so what a reader sees is the same, and an all-day session keeps a bounded string.
    static constexpr qsizetype maxFinalisedChars = 16000;
    // An open sentence is finished once it holds more words than this, whatever its last word, and
    // before an utterance would take it beyond maxSentenceWords: a caption line must not grow for ever.
    static constexpr qsizetype openSentenceWords = 30;
    static constexpr qsizetype maxSentenceWords = 40;

    // Without a style, the plain one.
    explicit PocketSphinxTranscript(std::shared_ptr<const SentenceStyle> style = {});

    void setPartial(const QString &hypothesis);
    // Ends the current utterance with its final hypothesis.
    void finaliseUtterance(const QString &hypothesis);

    QString text() const;
    // The text when it differs from what was last taken; nothing when it is unchanged.
    std::optional<QString> takeIfChanged();

private:
    void finish(const QStringList &words);

    std::shared_ptr<const SentenceStyle> m_style;
    QStringList m_finalised;
    qsizetype m_finalisedChars = 0;
    QStringList m_open;
    QStringList m_partial;
    QString m_lastTaken;
};
