#include "captioning/RunningTranscript.h"

#include <QRegularExpression>

RunningTranscript::RunningTranscript(std::shared_ptr<const SentenceStyle> style)
    : m_style(style ? std::move(style) : SentenceStyle::plain())
{ }

namespace {

QStringList writtenWords(const QString &text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.split(space, Qt::SkipEmptyParts);
}

} // namespace

void RunningTranscript::setPartial(const QString &hypothesis)
{
    m_partial = m_written ? writtenWords(hypothesis) : SentenceStyle::words(hypothesis);
}

bool RunningTranscript::endsSentence(const QString &word)
{
    static const QString marks = QStringLiteral(".?!\u2026\u3002\uff1f\uff01\u061f\u0964");
    // Titles and initials end with a full stop but not a sentence ("Mr. Dashwood", "J. Smith").
    static const QStringList abbreviations { QStringLiteral("Mr"), QStringLiteral("Mrs"), QStringLiteral("Ms"),
        QStringLiteral("Dr"), QStringLiteral("St"), QStringLiteral("Mt"), QStringLiteral("Jr"), QStringLiteral("Sr"),
        QStringLiteral("Sra"), QStringLiteral("Dra"), QStringLiteral("Prof"), QStringLiteral("Mme"),
        QStringLiteral("Mlle"), QStringLiteral("Hr"), QStringLiteral("Fr"), QStringLiteral("vs") };
    QString w = word;
    while (!w.isEmpty() && (w.back() == u'"' || w.back() == u')' || w.back() == u'\u201d' || w.back() == u'\''))
        w.chop(1);
    if (w.isEmpty() || !marks.contains(w.back()))
        return false;
    if (w.back() == u'.' && w != word)
        return true; // a mark inside quotes ends what is quoted
    const QString bare = w.chopped(1);
    return !(w.back() == u'.' && ((bare.size() == 1 && bare[0].isUpper()) || abbreviations.contains(bare)));
}

void RunningTranscript::appendWritten(const QStringList &words, UtteranceTiming timing)
{
    // Word times split the utterance between the sentences its marks end; without them it is one piece.
    const bool timed = timing.words.size() == std::size_t(words.size());
    for (qsizetype i = 0; i < words.size(); ++i) {
        const bool last = i + 1 == words.size();
        if (!timed && !last)
            continue;
        const QStringList piece = timed ? QStringList { words[i] } : words;
        UtteranceTiming pieceTiming = timed ? UtteranceTiming { timing.words[std::size_t(i)].start,
            timing.words[std::size_t(i)].end, { timing.words[std::size_t(i)] } }
                                            : timing;
        if (!m_open.isEmpty() && m_open.size() + piece.size() > maxSentenceWords)
            finishOpen();
        if (m_open.isEmpty()) {
            m_openTiming = std::move(pieceTiming);
        } else {
            m_openTiming.end = pieceTiming.end;
            m_openTiming.words.insert(m_openTiming.words.end(), pieceTiming.words.begin(), pieceTiming.words.end());
        }
        m_open += piece;
        if (endsSentence(m_open.back()))
            finishOpen();
    }
}

void RunningTranscript::finaliseUtterance(const QString &hypothesis, UtteranceTiming timing)
{
    m_partial.clear();
    const QStringList words = m_written ? writtenWords(hypothesis) : SentenceStyle::words(hypothesis);
    if (words.isEmpty())
        return;
    if (!m_open.isEmpty()
        && (m_open.size() + words.size() > maxSentenceWords || timing.start - m_openTiming.end > maxPauseSeconds))
        finishOpen();
    if (m_written) {
        appendWritten(words, std::move(timing));
        return;
    }
    if (m_open.isEmpty()) {
        m_openTiming = std::move(timing);
    } else {
        m_openTiming.end = timing.end;
        m_openTiming.words.insert(m_openTiming.words.end(), timing.words.begin(), timing.words.end());
    }
    m_open += words;
    if (m_open.size() > openSentenceWords || m_style->readsComplete(m_open.join(QLatin1Char(' '))))
        finishOpen();
}

void RunningTranscript::silentUntil(double seconds)
{
    if (!m_open.isEmpty() && m_partial.isEmpty() && seconds - m_openTiming.end > maxPauseSeconds)
        finishOpen();
}

std::optional<TimedSentence> RunningTranscript::openSentence() const
{
    const QString joined = m_open.join(QLatin1Char(' '));
    const QString s = m_open.isEmpty() ? QString() : m_written ? joined : m_style->sentence(joined);
    if (s.isEmpty())
        return std::nullopt;
    return TimedSentence { s, m_openTiming.start, m_openTiming.end, m_openTiming.words };
}

void RunningTranscript::finishOpen()
{
    std::optional<TimedSentence> sentence = openSentence();
    m_open.clear();
    m_openTiming = {};
    if (!sentence)
        return;
    const QString s = sentence->text;
    m_finishedSentences.push_back(std::move(*sentence));
    m_finalised.append(s);
    m_finalisedChars += s.size() + 1;
    while (m_finalised.size() > 1 && m_finalisedChars > maxFinalisedChars) {
        m_finalisedChars -= m_finalised.front().size() + 1;
        m_finalised.removeFirst();
    }
}

QString RunningTranscript::text() const
{
    QString out = m_finalised.join(QLatin1Char(' '));
    // Written as one fragment, so that the partial words continue the open sentence in lower case.
    const QString joined = (m_open + m_partial).join(QLatin1Char(' '));
    const QString current = m_written ? joined : m_style->fragment(joined);
    if (!current.isEmpty()) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += current;
    }
    return out;
}

std::optional<QString> RunningTranscript::takeIfChanged()
{
    QString current = text();
    if (current == m_lastTaken)
        return std::nullopt;
    m_lastTaken = current;
    return current;
}
