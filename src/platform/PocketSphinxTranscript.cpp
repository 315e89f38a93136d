#include "platform/PocketSphinxTranscript.h"

PocketSphinxTranscript::PocketSphinxTranscript(std::shared_ptr<const SentenceStyle> style)
    : m_style(style ? std::move(style) : SentenceStyle::plain())
{ }

void PocketSphinxTranscript::setPartial(const QString &hypothesis)
{
    m_partial = SentenceStyle::words(hypothesis);
}

void PocketSphinxTranscript::finaliseUtterance(const QString &hypothesis, UtteranceTiming timing)
{
    m_partial.clear();
    const QStringList words = SentenceStyle::words(hypothesis);
    if (words.isEmpty())
        return;
    if (!m_open.isEmpty()
        && (m_open.size() + words.size() > maxSentenceWords || timing.start - m_openTiming.end > maxPauseSeconds))
        finishOpen();
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

std::optional<TimedSentence> PocketSphinxTranscript::openSentence() const
{
    const QString s = m_open.isEmpty() ? QString() : m_style->sentence(m_open.join(QLatin1Char(' ')));
    if (s.isEmpty())
        return std::nullopt;
    return TimedSentence { s, m_openTiming.start, m_openTiming.end, m_openTiming.words };
}

void PocketSphinxTranscript::finishOpen()
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

QString PocketSphinxTranscript::text() const
{
    QString out = m_finalised.join(QLatin1Char(' '));
    // Written as one fragment, so that the partial words continue the open sentence in lower case.
    const QString current = m_style->fragment((m_open + m_partial).join(QLatin1Char(' ')));
    if (!current.isEmpty()) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += current;
    }
    return out;
}

std::optional<QString> PocketSphinxTranscript::takeIfChanged()
{
    QString current = text();
    if (current == m_lastTaken)
        return std::nullopt;
    m_lastTaken = current;
    return current;
}
