#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// Prints a running transcription as lines: each finished sentence once, on a line of its own, as the
// recognizer finishes it; on a terminal, the words after the last finished sentence are redrawn in place
// below them. Only the recognizer knows where a sentence ends: its text may hold marks that end none
// ("Mr.", "a.m.") and words still being recognised may carry marks that change.
class CaptionPrinter final
{
public:
    explicit CaptionPrinter(std::FILE *out, bool interactive);

    // A sentence the recognizer finished.
    void sentence(const QString &text);
    // The whole running transcription as it now stands: what follows the last printed sentence in it is
    // the sentence still being spoken.
    void update(const QString &text);
    // The end: the sentence still being spoken is finished and printed as well.
    void finish();

    int printedLines() const { return m_printedLines; }
    bool isInteractive() const { return m_interactive; }

private:
    void clearPartial();
    void drawPartial();
    void printLine(const QString &line);

    std::FILE *m_out;
    bool m_interactive;
    QString m_lastSentence;
    QString m_partial;
    bool m_partialShown = false;
    int m_printedLines = 0;
};
