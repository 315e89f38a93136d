#include "PocketSphinxTranscript.h"

namespace {

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
    const QChar last = s.back();
    if (last != QLatin1Char('.') && last != QLatin1Char('?') && last != QLatin1Char('!'))
        s += QLatin1Char('.');
    return s;
}

void PocketSphinxTranscript::setPartial(const QString &hypothesis)
{
    // Capitalised already, so that the text does not flicker when the utterance is finalised.
    m_partial = withCapital(hypothesis.simplified());
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
