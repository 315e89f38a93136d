#include "cli/CaptionPrinter.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool endsSentence(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char('?') || c == QLatin1Char('!');
}

int terminalColumns(std::FILE *out)
{
    winsize size {};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace

CaptionPrinter::Split CaptionPrinter::split(const QString &text)
{
    Split result;
    const QString t = text.simplified();
    qsizetype start = 0;
    for (qsizetype i = 0; i < t.size(); ++i) {
        if (!endsSentence(t[i]))
            continue;
        const bool atEnd = i + 1 == t.size();
        const bool beforeCapital = i + 2 < t.size() && t[i + 1] == QLatin1Char(' ') && t[i + 2].isUpper();
        if (atEnd || beforeCapital) {
            result.sentences << t.mid(start, i + 1 - start);
            start = i + 2;
        }
    }
    if (start < t.size())
        result.partial = t.mid(start);
    return result;
}

CaptionPrinter::CaptionPrinter(std::FILE *out, bool interactive) : m_out(out), m_interactive(interactive)
{ }

void CaptionPrinter::update(const QString &text)
{
    const Split s = split(text);
    // Where the new sentences begin: normally after those already printed. When the text no longer
    // starts the same way (old sentences dropped, or a new recognition that started afresh), after the
    // last printed sentence if it is still there, otherwise from the start.
    qsizetype from = m_printed;
    const bool samePrefix
        = m_printed <= s.sentences.size() && (m_printed == 0 || s.sentences[m_printed - 1] == m_current[m_printed - 1]);
    if (!samePrefix) {
        const QString last = m_printed > 0 ? m_current[m_printed - 1] : QString();
        const qsizetype at = last.isEmpty() ? -1 : s.sentences.lastIndexOf(last);
        from = at >= 0 ? at + 1 : 0;
    }
    clearPartial();
    for (qsizetype i = from; i < s.sentences.size(); ++i)
        printLine(s.sentences[i]);
    m_current = s.sentences;
    m_printed = s.sentences.size();
    m_partial = s.partial;
    drawPartial();
}

void CaptionPrinter::finish()
{
    clearPartial();
    QString last = m_partial.trimmed();
    if (!last.isEmpty()) {
        last[0] = last[0].toUpper();
        if (!endsSentence(last.back()))
            last += QLatin1Char('.');
        printLine(last);
    }
    m_partial.clear();
    std::fflush(m_out);
}

void CaptionPrinter::clearPartial()
{
    if (m_partialShown) {
        std::fputs("\r\033[K", m_out);
        m_partialShown = false;
    }
}

void CaptionPrinter::drawPartial()
{
    if (m_interactive && !m_partial.isEmpty()) {
        // One screen line only, so that the carriage return can take it back: the newest words.
        const int width = std::max(10, terminalColumns(m_out) - 1);
        const QString shown = m_partial.size() > width ? m_partial.right(width) : m_partial;
        std::fputs(shown.toUtf8().constData(), m_out);
        m_partialShown = true;
    }
    std::fflush(m_out);
}

void CaptionPrinter::printLine(const QString &line)
{
    std::fputs(line.toUtf8().constData(), m_out);
    std::fputc('\n', m_out);
    ++m_printedLines;
}
