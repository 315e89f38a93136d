#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The running transcription of one recognition task: the finalised utterances, each written as a
// sentence, followed by the hypothesis of the utterance being decoded. Only finalised utterances end
// with a full stop. Pure logic, no engine calls.
class PocketSphinxTranscript final
{
public:
    // Finalised text beyond this many characters loses its oldest utterances. Captions show far less
    // than this, so what a reader sees is the same, and an all-day session keeps a bounded string.
    static constexpr qsizetype maxFinalisedChars = 16000;

    // The engine's words as a sentence: capital first letter, full stop at the end (unless the last
    // word already ends a sentence, as "a.m." does). Empty for a hypothesis without words.
    static QString sentence(const QString &hypothesis);

    void setPartial(const QString &hypothesis);
    // Ends the current utterance with its final hypothesis.
    void finaliseUtterance(const QString &hypothesis);

    QString text() const;
    // The text when it differs from what was last taken; nothing when it is unchanged.
    std::optional<QString> takeIfChanged();

private:
    QStringList m_finalised;
    qsizetype m_finalisedChars = 0;
    QString m_partial;
    QString m_lastTaken;
};
