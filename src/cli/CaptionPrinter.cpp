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

CaptionPrinter::CaptionPrinter(std::FILE *out, bool interactive) : m_out(out), m_interactive(interactive)
{ }

void CaptionPrinter::sentence(const QString &text)
{
    clearPartial();
    printLine(text.simplified());
    m_lastSentence = text.simplified();
    m_partial.clear();
    std::fflush(m_out);
}

void CaptionPrinter::update(const QString &text)
{
    const QString t = text.simplified();
    // The running text may write the last sentence without the mark it was finished with.
    QString last = m_lastSentence;
    qsizetype at = last.isEmpty() ? -1 : t.lastIndexOf(last);
    while (at < 0 && !last.isEmpty() && endsSentence(last.back())) {
        last.chop(1);
        at = t.lastIndexOf(last);
    }
    clearPartial();
    m_partial = at < 0 ? t : t.mid(at + last.size());
    while (!m_partial.isEmpty() && (m_partial.front().isSpace() || endsSentence(m_partial.front())))
        m_partial.remove(0, 1);
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
