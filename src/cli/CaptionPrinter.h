#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// Prints a running transcription as lines: each finished sentence once, on a line of its own; on a
// terminal, the sentence still being spoken is redrawn in place below them.
class CaptionPrinter final
{
public:
    struct Split {
        QStringList sentences; // finished, each ending with its full stop
        QString partial; // the words of the utterance still being recognised
    };

    // Sentences end at a full stop (or ? !) that ends the text or is followed by a space and a capital:
    // recognised words are lower case, so a word such as "a.m." inside a sentence is not an end.
    static Split split(const QString &text);

    explicit CaptionPrinter(std::FILE *out, bool interactive);

    // The whole running transcription as it now stands.
    void update(const QString &text);
    // The end: the sentence still being spoken is finished and printed as well.
    void finish();

    int printedLines() const { return m_printedLines; }

private:
    void clearPartial();
    void drawPartial();
    void printLine(const QString &line);

    std::FILE *m_out;
    bool m_interactive;
    QStringList m_current; // the finished sentences of the latest text
    qsizetype m_printed = 0; // how many of m_current have been printed
    QString m_partial;
    bool m_partialShown = false;
    int m_printedLines = 0;
};
