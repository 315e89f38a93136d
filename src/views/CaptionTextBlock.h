#pragma once

#include <QTextLayout>
#include <QWidget>

// The caption text inside the overlay: word-wrapped, inset 12 on every side, drawn from one cached text
// layout so that a new caption costs one layout pass and a paint of the lines in sight. It scrolls by an
// offset that the display view drives. Screen readers see it as "Live captions" with the text as value.
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

    // Height of the whole text with its insets at the current width.
    int contentHeight() const;
    int scrollOffset() const { return m_offset; }
    void setScrollOffset(int offset);
    int maximumScrollOffset() const { return qMax(0, contentHeight() - height()); }

Q_SIGNALS:
    void contentHeightChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void invalidate();
    void ensureLaidOut() const;

    QString m_text;
    QFont m_font;
    QColor m_color = Qt::white;
    Qt::Alignment m_alignment = Qt::AlignLeading;
    Qt::LayoutDirection m_direction = Qt::LeftToRight;
    int m_offset = 0;

    mutable QTextLayout m_layout;
    mutable bool m_laidOut = false;
    mutable int m_layoutWidth = -1;
    mutable qreal m_textHeight = 0;
};
