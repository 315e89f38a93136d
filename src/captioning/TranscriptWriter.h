#pragma once

#include "captioning/SpeechEngine.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// How timed sentences are written out: plain text (one sentence a line), SubRip and WebVTT subtitles
// (one cue per sentence), or JSON (an array with one object per sentence: text, start, end and the
// words with their times, in seconds). A document is begin(), an entry() per sentence, then end(), so that
// it can be written as the sentences come. Pure logic, no I/O.
class TranscriptWriter final
{
public:
    enum class Format { Text, SubRip, WebVtt, Json };

    // "txt", "srt", "vtt" or "json", in any case.
    static std::optional<Format> formatNamed(const QString &name);
    // By the file name's extension; nothing for another.
    static std::optional<Format> formatForFile(const QString &fileName);

    static QByteArray begin(Format format);
    // `number` counts the sentences from 1.
    static QByteArray entry(Format format, int number, const TimedSentence &sentence);
    static QByteArray end(Format format);
    static QByteArray document(Format format, const std::vector<TimedSentence> &sentences);

    // "01:02:03,456" (SubRip) or "01:02:03.456" (WebVTT); negative times are 0.
    static QString timestamp(double seconds, char fractionSeparator);
};
