#pragma once

#include "captioning/SpeechEngine.h"
#include "captioning/TranscriptWriter.h"

#include <QDateTime>

#include <deque>
#include <optional>

// What was said in one captioning session: each finished sentence with its times in seconds from the
// session's start, kept beside the caption, which trims its text as it goes. An all-day session keeps the
// newest 5 MB of text (words included); a file kept on disk has the rest.
class SessionTranscript final
{
public:
    static constexpr qsizetype maxTextBytes = 5 * 1000 * 1000;

    explicit SessionTranscript(QDateTime start = QDateTime::currentDateTime()) : m_start(std::move(start)) { }

    const QDateTime &startTime() const { return m_start; }
    const std::deque<TimedSentence> &sentences() const { return m_sentences; }
    bool isEmpty() const { return m_sentences.empty(); }
    qsizetype textBytes() const { return m_bytes; }

    void append(TimedSentence sentence);

    // Written whole to `fileName` in the format its extension names (.txt, .srt or .vtt), atomically: a save
    // that fails leaves no half file and the file that was there as it was. Nothing on success, otherwise
    // what went wrong, in plain words.
    std::optional<QString> saveAs(const QString &fileName) const;

private:
    static qsizetype bytesOf(const TimedSentence &sentence);

    QDateTime m_start;
    std::deque<TimedSentence> m_sentences;
    qsizetype m_bytes = 0;
};
