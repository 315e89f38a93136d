#pragma once

#include <QTextLayout>
#include <QWidget>

// The caption text inside the overlay: word-wrapped, inset 12 on every side, drawn from one cached text
// layout and scrolled by an offset that the display view drives. Screen readers see it as "Live
// captions" with the text as value.
//
// While it follows the end of the text (after every new caption) only the text's tail is laid out: enough
// lines to fill the view twice over, from a word boundary; the height of the part before it is
// estimated from the tail's characters per line. A long caption then costs a fraction of a full layout.
// As soon as the reader scrolls, the whole text is laid out and the estimate is gone.
class CaptionTextBlock final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionTextBlock)

public:
    static constexpr int inset = 12;
    static constexpr qreal cornerRadius = 12;

    explicit CaptionTextBlock(QWidget *parent = nullptr);
    ~CaptionTextBlock() override;

    QString text() const { return m_text; }
    void setText(const QString &text);
    QFont textFont() const { return m_font; }
    void setTextFont(const QFont &font);
    void setTextColor(const QColor &color);
    void setTextAlignment(Qt::Alignment alignment);
    void setTextDirection(Qt::LayoutDirection direction);

    // Room kept free above the text, at every scroll position (for the microphone's corner).
    int topReserve() const { return m_topReserve; }
    void setTopReserve(int pixels);
    // Where text may be drawn from: with a reserve, the first line's top, below which scrolled text
    // stays; without, the top edge. Scrolled text fades in over `inset` and half a line below it, so that
    // no line is seen cut in half at the top.
    int textTop() const { return m_topReserve > 0 ? m_topReserve + inset : 0; }

    // Height of the whole text with its insets at the current width.
    int contentHeight() const;
    int scrollOffset() const { return m_offset; }
    void setScrollOffset(int offset);
    int maximumScrollOffset() const { return qMax(0, contentHeight() - height()); }

    bool isFollowingEnd() const { return m_followEnd; }
    // Following: only the tail is laid out. Not following: the whole text, exactly.
    void setFollowingEnd(bool follow);
    // Where the laid-out text starts (0 when the whole text is laid out).
    int layoutStart() const
    {
        ensureLaidOut();
        return m_layoutStart;
    }

    // What a screen reader is told when the text changes, as a live region's listeners hear it: the words
    // trimmed from the front go quietly, the revised or new words at the end are inserted; only when
    // nothing is shared is the whole text replaced.
    struct TextChange {
        enum Kind { Insert, Remove, Replace } kind;
        int position;
        QString text;
        friend bool operator==(const TextChange &, const TextChange &) = default;
    };
    static QList<TextChange> changesBetween(const QString &old, const QString &text);

Q_SIGNALS:
    void contentHeightChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void announceChange(const QString &old, const QString &text);
    void invalidate();
    void ensureLaidOut() const;
    void layOut(const QString &text, int lineWidth) const;

    QString m_text;
    QFont m_font;
    QColor m_color = Qt::white;
    Qt::Alignment m_alignment = Qt::AlignLeading;
    Qt::LayoutDirection m_direction = Qt::LeftToRight;
    int m_offset = 0;
    int m_topReserve = 0;
    bool m_followEnd = true;

    mutable QTextLayout m_layout;
    mutable bool m_laidOut = false;
    mutable int m_layoutWidth = -1;
    mutable qreal m_textHeight = 0;
    mutable int m_layoutStart = 0;
    mutable qreal m_prefixHeight = 0;
};
