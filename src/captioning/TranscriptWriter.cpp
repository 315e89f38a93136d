#include "captioning/TranscriptWriter.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// Times in JSON to the millisecond, as in the subtitles.
double milliseconds(double seconds)
{
    return std::round(std::max(0.0, seconds) * 1000.0) / 1000.0;
}

} // namespace

std::optional<TranscriptWriter::Format> TranscriptWriter::formatNamed(const QString &name)
{
    const QString n = name.toLower();
    if (n == QStringLiteral("txt"))
        return Format::Text;
    if (n == QStringLiteral("srt"))
        return Format::SubRip;
    if (n == QStringLiteral("vtt"))
        return Format::WebVtt;
    if (n == QStringLiteral("json"))
        return Format::Json;
    return std::nullopt;
}

std::optional<TranscriptWriter::Format> TranscriptWriter::formatForFile(const QString &fileName)
{
    return formatNamed(QFileInfo(fileName).suffix());
}

QString TranscriptWriter::timestamp(double seconds, char fractionSeparator)
{
    const auto ms = qint64(std::llround(std::max(0.0, seconds) * 1000.0));
    return QStringLiteral("%1:%2:%3%4%5")
        .arg(ms / 3600000, 2, 10, QLatin1Char('0'))
        .arg(ms / 60000 % 60, 2, 10, QLatin1Char('0'))
        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(QLatin1Char(fractionSeparator))
        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

QByteArray TranscriptWriter::begin(Format format)
{
    switch (format) {
    case Format::WebVtt:
        return "WEBVTT\n\n";
    case Format::Json:
        return "[";
    case Format::Text:
    case Format::SubRip:
        break;
    }
    return {};
}

QByteArray TranscriptWriter::entry(Format format, int number, const TimedSentence &sentence)
{
    // A cue must not end before it starts, and the text must stay on its line.
    const QString text = sentence.text.simplified();
    const double end = std::max(sentence.start, sentence.end);
    switch (format) {
    case Format::Text:
        return text.toUtf8() + '\n';
    case Format::SubRip:
        return QStringLiteral("%1\n%2 --> %3\n%4\n\n")
            .arg(number)
            .arg(timestamp(sentence.start, ','), timestamp(end, ','), text)
            .toUtf8();
    case Format::WebVtt:
        return QStringLiteral("%1 --> %2\n%3\n\n")
            .arg(timestamp(sentence.start, '.'), timestamp(end, '.'), text)
            .toUtf8();
    case Format::Json: {
        QJsonArray words;
        for (const TimedWord &w : sentence.words)
            words.append(QJsonObject { { QStringLiteral("text"), w.text },
                { QStringLiteral("start"), milliseconds(w.start) }, { QStringLiteral("end"), milliseconds(w.end) } });
        const QJsonObject object { { QStringLiteral("text"), text },
            { QStringLiteral("start"), milliseconds(sentence.start) }, { QStringLiteral("end"), milliseconds(end) },
            { QStringLiteral("words"), words } };
        return (number > 1 ? ",\n" : "\n") + QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    }
    return {};
}

QByteArray TranscriptWriter::end(Format format)
{
    return format == Format::Json ? "\n]\n" : QByteArray();
}

QByteArray TranscriptWriter::document(Format format, const std::vector<TimedSentence> &sentences)
{
    QByteArray out = begin(format);
    int number = 0;
    for (const TimedSentence &s : sentences)
        out += entry(format, ++number, s);
    return out + end(format);
}
