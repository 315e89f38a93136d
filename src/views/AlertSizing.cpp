#include "views/AlertSizing.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTextLayout>

#include <algorithm>

namespace {

// About as many characters as a line holds before it gets hard to read.
constexpr int readingColumns = 60;

// A message box that would be wider than this breaks its texts anywhere, mid-word, to fit (QMessageBox's
// own limit); the text column stays a little narrower, leaving room for the icon and the margins.
int textColumnLimit(const QMessageBox &box)
{
    const QScreen *screen = box.screen();
    const int available = screen ? screen->availableGeometry().width() : 1024;
    const int boxLimit = available <= 1024 ? available : std::min(available - 480, 1000);
    return std::max(boxLimit - 160, 100);
}

bool breaksInsideAWord(const QString &paragraph, const QFont &font, int width)
{
    QTextLayout layout(paragraph, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    bool broken = false;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        const int end = line.textStart() + line.textLength();
        broken = broken || line.naturalTextWidth() > width
            || (end < paragraph.size() && !paragraph.at(end - 1).isSpace() && !paragraph.at(end).isSpace());
    }
    layout.endLayout();
    return broken;
}

QList<QLabel *> textLabels(QMessageBox &box)
{
    QList<QLabel *> labels;
    for (const char *name : { "qt_msgbox_label", "qt_msgbox_informativelabel" }) {
        if (auto *label = box.findChild<QLabel *>(QLatin1String(name)); label && !label->text().isEmpty())
            labels << label;
    }
    return labels;
}

// The narrowest width from `from` up to `limit` at which `text`, word-wrapped as a label wraps it, breaks
// no line inside a word (at a hyphen or a slash, or because the word is wider than the line); `limit`
// when there is none.
int wholeWordsWidth(const QString &text, const QFont &font, int from, int limit)
{
    const QStringList paragraphs = text.split(u'\n');
    const int step = std::max(1, QFontMetrics(font).averageCharWidth());
    int width = std::max(from, 1);
    while (width < limit && std::any_of(paragraphs.begin(), paragraphs.end(), [&](const QString &paragraph) {
        return breaksInsideAWord(paragraph, font, width);
    }))
        width += step;
    return std::min(width, limit);
}

} // namespace

void AlertSizing::fitToText(QMessageBox &box)
{
    box.ensurePolished();
    const QList<QLabel *> labels = textLabels(box);
    const int limit = textColumnLimit(box);
    int column = 0;
    for (QLabel *label : labels) {
        const QFontMetrics metrics(label->font());
        int unwrapped = 0;
        for (const QString &paragraph : label->text().split(u'\n'))
            unwrapped = std::max(unwrapped, metrics.horizontalAdvance(paragraph));
        const int comfortable = std::min(unwrapped, metrics.averageCharWidth() * readingColumns);
        column = std::max(column, wholeWordsWidth(label->text(), label->font(), comfortable, limit));
    }
    for (QLabel *label : labels)
        label->setMinimumWidth(column);
    if (!box.isVisible())
        return;

    // Shown, the box may give its texts more room than asked for, and lines break elsewhere there: widen
    // until the width they get keeps every word whole. Setting a text again lays the box out anew.
    for (int round = 0; round < 4; ++round) {
        box.setText(box.text());
        int needed = 0;
        for (QLabel *label : labels) {
            const int width = label->contentsRect().width();
            if (const int whole = wholeWordsWidth(label->text(), label->font(), width, limit); whole > width)
                needed = std::max(needed, whole);
        }
        if (needed == 0)
            return;
        for (QLabel *label : labels)
            label->setMinimumWidth(needed);
    }
}
