#include "PocketSphinxTranscript.h"

namespace {

bool endsSentence(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char('?') || c == QLatin1Char('!');
}

QString withCapital(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

} // namespace

QString PocketSphinxTranscript::sentence(const QString &hypothesis)
{
    QString s = withCapital(hypothesis.simplified());
    if (s.isEmpty())
        return s;
    if (!endsSentence(s.back()))
        s += QLatin1Char('.');
    return s;
}

void PocketSphinxTranscript::setPartial(const QString &hypothesis)
{
    // Capitalised already, so that the text does not flicker when the utterance is finalised. A
    // sentence-ending mark at its end (a word such as "s." or "a.m.") is left off until the utterance
    // is finalised, so that only finished sentences end in one and readers of the text can tell.
    m_partial = withCapital(hypothesis.simplified());
    while (!m_partial.isEmpty() && endsSentence(m_partial.back()))
        m_partial.chop(1);
}

void PocketSphinxTranscript::finaliseUtterance(const QString &hypothesis)
{
    m_partial.clear();
    const QString s = sentence(hypothesis);
    if (s.isEmpty())
        return;
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
    if (!m_partial.isEmpty()) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        out += m_partial;
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
