#pragma once

#include <QTimer>
#include <QWidget>

// The caption overlay's window: frameless, translucent, always on top, never taking the focus, on every
// desktop, out of taskbars and pagers. It is dragged by its background and resized at its edges through
// the window manager, and it reports each move, the end of each resize, and when the user takes hold of
// it and lets go, to its owner.
class OverlayPanel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OverlayPanel)

public:
    static constexpr int resizeEdgeWidth = 8;
    // Where a compositor shows translucent pixels, a soft shadow fills this margin around the caption.
    static constexpr int shadowMargin = 12;
    static constexpr qreal shadowRadius = 12; // the caption box's corner
    // The window manager sends no "resize finished": a resize is over when the button is up and the
    // window has rested this long.
    static constexpr int resizeSettleMs = 200;
    // How often the button is looked at while the window manager holds the pointer for a move or resize.
    static constexpr int pointerWatchMs = 16;

    explicit OverlayPanel(QWidget *parent = nullptr);
    ~OverlayPanel() override;

    void setContent(QWidget *content);
    // Window flags of the overlay, with or without click-through.
    static Qt::WindowFlags overlayFlags(bool clickThrough);
    void setClickThrough(bool clickThrough);
    bool isClickThrough() const;
    bool isResizeSettling() const { return m_resizeSettle.isActive(); }
    // With a shadow, the caption sits `shadowMargin` in from the window's edges; set on every show from
    // whether a compositor runs.
    void setShadowed(bool shadowed);
    bool isShadowed() const { return m_shadowed; }

    // The edges of the panel that a press at `pos` grabs, if any.
    Qt::Edges edgesAt(const QPoint &pos) const;
    // The panel's frame on the screen now, also while a window manager moves it without telling Qt.
    QRect frameOnScreen() const;

Q_SIGNALS:
    void moved();
    void liveResizeEnded();
    // The user pressed to move or resize the panel, and let go.
    void heldByUser();
    void releasedByUser();
    // The window system has put the panel's window on screen, after a show or after its window was made
    // anew (a change of click-through does that).
    void mappedOnScreen();
    // On every show: whether the window system shows translucent pixels as such (see
    // DesktopWindowHints::translucencyShown).
    void translucencyChecked(bool shown);

protected:
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void beginGesture();
    void beginResize(Qt::Edges edges);
    void hold(bool byWindowManager);
    void release();
    void updateCursor(const QPoint &pos);
    void applyWindowSystemHints();

    QWidget *m_content = nullptr;
    QTimer m_resizeSettle;
    QTimer m_pointerWatch;
    bool m_held = false;
    bool m_shadowed = false;
    bool m_hintsApplied = false;
    bool m_userResizing = false;
    bool m_exposedOnce = false;
    // Where the window manager cannot move or resize for us, the panel does it by hand.
    enum class Manual { None, Move, Resize } m_manual = Manual::None;
    Qt::Edges m_manualEdges;
    bool m_pressed = false;
    Qt::Edges m_pressEdges;
    QPoint m_pressGlobal;
    QRect m_pressGeometry;
};
