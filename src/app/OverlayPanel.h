#pragma once

#include <QTimer>
#include <QWidget>

// The caption overlay's window: frameless, translucent, always on top, never taking the focus, on every
// desktop. It is dragged by its background and resized at its edges through the window manager, and it
// reports each move and the end of each resize to its owner.
class OverlayPanel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OverlayPanel)

public:
    static constexpr int resizeEdgeWidth = 8;
    // The window manager sends no "resize finished": a resize is over when it has rested this long.
    static constexpr int resizeSettleMs = 200;

    explicit OverlayPanel(QWidget *parent = nullptr);
    ~OverlayPanel() override;

    void setContent(QWidget *content);
    // Window flags of the overlay, with or without click-through.
    static Qt::WindowFlags overlayFlags(bool clickThrough);
    void setClickThrough(bool clickThrough);
    bool isClickThrough() const;
    bool isResizeSettling() const { return m_resizeSettle.isActive(); }

    // The edges of the panel that a press at `pos` grabs, if any.
    Qt::Edges edgesAt(const QPoint &pos) const;

Q_SIGNALS:
    void moved();
    void liveResizeEnded();

protected:
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void beginResize(Qt::Edges edges);
    void updateCursor(const QPoint &pos);

    QWidget *m_content = nullptr;
    QTimer m_resizeSettle;
    bool m_userResizing = false;
    bool m_exposedOnce = false;
    // Where the window manager cannot move or resize for us, the panel does it by hand.
    enum class Manual { None, Move, Resize } m_manual = Manual::None;
    Qt::Edges m_manualEdges;
    QPoint m_pressGlobal;
    QRect m_pressGeometry;
};
