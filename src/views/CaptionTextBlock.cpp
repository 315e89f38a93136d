#include "views/CaptionTextBlock.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>

namespace {

QString accessibleCaptionName()
{
    return QCoreApplication::translate("CaptionTextBlock", "Live captions");
}

// Exposes the caption as read-only text, so that a screen reader can read it and follow its changes.
class CaptionTextAccessible final : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit CaptionTextAccessible(CaptionTextBlock *block) : QAccessibleWidget(block, QAccessible::StaticText) { }

    CaptionTextBlock *block() const { return static_cast<CaptionTextBlock *>(widget()); }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name:
            return accessibleCaptionName();
        case QAccessible::Value:
            return block()->text();
        default:
            return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }

    // Read-only text: no selection, no caret.
    void selection(int, int *startOffset, int *endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override { }
    void removeSelection(int) override { }
    void setSelection(int, int, int) override { }
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override { }
    QString text(int startOffset, int endOffset) const override
    {
        const QString all = block()->text();
        startOffset = qBound(0, startOffset, int(all.size()));
        endOffset = qBound(startOffset, endOffset, int(all.size()));
        return all.mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(block()->text().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override { }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = offset;
        return {};
    }
};

QAccessibleInterface *captionAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("CaptionTextBlock") && object && object->isWidgetType())
        return new CaptionTextAccessible(static_cast<CaptionTextBlock *>(object));
    return nullptr;
}

} // namespace

CaptionTextBlock::CaptionTextBlock(QWidget *parent) : QWidget(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(captionAccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    setAccessibleName(accessibleCaptionName());
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::NoFocus);
    m_layout.setCacheEnabled(true);
}

CaptionTextBlock::~CaptionTextBlock() = default;

void CaptionTextBlock::setText(const QString &text)
{
    if (text == m_text)
        return;
    const QString old = std::exchange(m_text, text);
    invalidate();
    if (QAccessible::isActive())
        announceChange(old, m_text);
}

QList<CaptionTextBlock::TextChange> CaptionTextBlock::changesBetween(const QString &old, const QString &text)
{
    const auto sharedStart = [](const QString &a, const QString &b) {
        qsizetype same = 0;
        const qsizetype shorter = std::min(a.size(), b.size());
        while (same < shorter && a[same] == b[same])
            ++same;
        return same;
    };
    QList<TextChange> changes;
    QString kept = old;
    qsizetype same = sharedStart(kept, text);
    // The caption drops old sentences from its front as it grows: when the two do not even share their
    // first few characters, the new text's start is looked for further on in the old.
    constexpr qsizetype probe = 32;
    constexpr qsizetype sharedFront = 8;
    if (same < std::min({ sharedFront, old.size(), text.size() })) {
        const qsizetype trimmed = old.indexOf(text.left(std::min(probe, text.size())));
        if (trimmed <= 0)
            return { { TextChange::Replace, 0, text } };
        changes.append({ TextChange::Remove, 0, old.left(trimmed) });
        kept = old.mid(trimmed);
        same = sharedStart(kept, text);
    }
    if (same < kept.size())
        changes.append({ TextChange::Remove, int(same), kept.mid(same) });
    if (same < text.size())
        changes.append({ TextChange::Insert, int(same), text.mid(same) });
    return changes;
}

void CaptionTextBlock::announceChange(const QString &old, const QString &text)
{
    for (const TextChange &change : changesBetween(old, text)) {
        switch (change.kind) {
        case TextChange::Insert: {
            QAccessibleTextInsertEvent event(this, change.position, change.text);
            QAccessible::updateAccessibility(&event);
            break;
        }
        case TextChange::Remove: {
            QAccessibleTextRemoveEvent event(this, change.position, change.text);
            QAccessible::updateAccessibility(&event);
            break;
        }
        case TextChange::Replace: {
            QAccessibleTextUpdateEvent event(this, 0, old, text);
            QAccessible::updateAccessibility(&event);
            break;
        }
        }
    }
}

void CaptionTextBlock::setTextFont(const QFont &font)
{
    if (font == m_font)
        return;
    m_font = font;
    invalidate();
}

void CaptionTextBlock::setTextColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

void CaptionTextBlock::setTextAlignment(Qt::Alignment alignment)
{
    if (alignment == m_alignment)
        return;
    m_alignment = alignment;
    invalidate();
}

void CaptionTextBlock::setTextDirection(Qt::LayoutDirection direction)
{
    if (direction == m_direction)
        return;
    m_direction = direction;
    setLayoutDirection(direction);
    invalidate();
}

void CaptionTextBlock::invalidate()
{
    m_laidOut = false;
    update();
    Q_EMIT contentHeightChanged();
}

void CaptionTextBlock::setFollowingEnd(bool follow)
{
    if (follow == m_followEnd)
        return;
    m_followEnd = follow;
    // Only a layout of part of the text changes; a short text is laid out whole either way.
    if (m_layoutStart > 0 || follow)
        invalidate();
}

void CaptionTextBlock::ensureLaidOut() const
{
    const int lineWidth = qMax(1, width() - 2 * inset);
    if (m_laidOut && m_layoutWidth == lineWidth)
        return;
    const QFontMetricsF metrics(m_font);
    const int visibleLines = int(height() / qMax<qreal>(1, metrics.lineSpacing())) + 1;
    // A first guess at the tail's length from the font's average character width; if it makes fewer than
    // two views' worth of lines, a tail twice as long is tried, up to the whole text.
    qsizetype tail
        = qMax<qsizetype>(256, qsizetype(lineWidth / qMax<qreal>(1, metrics.averageCharWidth()) * visibleLines * 2));
    for (;;) {
        m_layoutStart = 0;
        if (m_followEnd && m_text.size() > tail + tail / 2) {
            qsizetype start = m_text.size() - tail;
            // Begin at a word, so that none is cut. The tail's lines may break at other words than the
            // whole text's would; the reader who scrolls gets the whole text's.
            const qsizetype space = m_text.indexOf(QLatin1Char(' '), start);
            if (space >= 0 && space - start < 256)
                start = space + 1;
            m_layoutStart = int(start);
        }
        layOut(m_layoutStart > 0 ? m_text.mid(m_layoutStart) : m_text, lineWidth);
        if (m_layoutStart == 0 || m_layout.lineCount() >= 2 * visibleLines)
            break;
        tail *= 2;
    }
    m_prefixHeight = 0;
    if (m_layoutStart > 0 && m_layout.lineCount() > 0) {
        const qreal tailChars = m_text.size() - m_layoutStart;
        const qreal lineHeight = m_textHeight / m_layout.lineCount();
        const qreal perLine = qMax<qreal>(1, tailChars / m_layout.lineCount());
        m_prefixHeight = std::ceil(m_layoutStart / perLine) * lineHeight;
    }
    m_layoutWidth = lineWidth;
    m_laidOut = true;
}

void CaptionTextBlock::layOut(const QString &text, int lineWidth) const
{
    m_layout.clearLayout();
    // A text layout breaks lines at line separators only; a caption's line feeds must break too.
    QString shown = text;
    shown.replace(u'\n', QChar::LineSeparator);
    m_layout.setText(shown);
    m_layout.setFont(m_font);
    QTextOption option(m_alignment);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTextDirection(m_direction);
    m_layout.setTextOption(option);
    qreal y = 0;
    m_layout.beginLayout();
    for (QTextLine line = m_layout.createLine(); line.isValid(); line = m_layout.createLine()) {
        line.setLineWidth(lineWidth);
        line.setPosition(QPointF(0, y));
        // Whole pixels per line: the height estimated for a tail's prefix is then a whole number too, and
        // the tail sits exactly where the whole text would put it.
        y += std::ceil(line.height());
    }
    m_layout.endLayout();
    m_textHeight = y;
}

int CaptionTextBlock::contentHeight() const
{
    ensureLaidOut();
    return int(std::ceil(m_prefixHeight + m_textHeight)) + 2 * inset + m_topReserve;
}

void CaptionTextBlock::setTopReserve(int pixels)
{
    pixels = qMax(0, pixels);
    if (pixels == m_topReserve)
        return;
    m_topReserve = pixels;
    update();
    Q_EMIT contentHeightChanged();
}

void CaptionTextBlock::setScrollOffset(int offset)
{
    offset = qBound(0, offset, maximumScrollOffset());
    if (offset == m_offset)
        return;
    m_offset = offset;
    update();
}

void CaptionTextBlock::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_laidOut = m_laidOut && m_layoutWidth == qMax(1, width() - 2 * inset);
    Q_EMIT contentHeightChanged();
}

void CaptionTextBlock::paintEvent(QPaintEvent *event)
{
    if (m_text.isEmpty())
        return;
    ensureLaidOut();
    QPainter painter(this);
    painter.setPen(m_color);
    // The side insets equal the background's corner radius, so scrolled text never reaches a rounded
    // corner and a rectangular clip (far cheaper than a rounded one) is enough.
    static_assert(inset >= cornerRadius);
    painter.setClipRect(event->rect() & QRect(0, textTop(), width(), height() - textTop()));
    if (m_offset > 0) {
        // Scrolled: the text fades in from the top instead of showing a line cut in half there.
        const qreal fadeEnd = textTop() + inset + QFontMetricsF(m_font).height() / 2;
        QLinearGradient fade(0, textTop(), 0, fadeEnd);
        QColor clear = m_color;
        clear.setAlpha(0);
        fade.setColorAt(0, clear);
        fade.setColorAt(1, m_color);
        painter.setPen(QPen(QBrush(fade), 1));
    }
    const QPointF origin(inset, inset + m_topReserve + m_prefixHeight - m_offset);
    // Only the lines that meet the exposed area are drawn; a long caption mostly lies above the view.
    const qreal top = event->rect().top() - origin.y();
    const qreal bottom = event->rect().bottom() + 1 - origin.y();
    const int count = m_layout.lineCount();
    int first = 0;
    int lo = 0, hi = count - 1;
    while (lo <= hi) {
        const int mid = (lo + hi) / 2;
        const QTextLine line = m_layout.lineAt(mid);
        if (line.y() + line.height() < top) {
            first = mid + 1;
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    for (int i = first; i < count; ++i) {
        const QTextLine line = m_layout.lineAt(i);
        if (line.y() > bottom)
            break;
        line.draw(&painter, origin);
    }
}
