#include "app/OverlayPanel.h"

#include "app/DesktopWindowHints.h"
#include "base/Log.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <QWindow>

OverlayPanel::OverlayPanel(QWidget *parent) : QWidget(parent, overlayFlags(false))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    setWindowTitle(tr("Live Captions"));
    setAccessibleName(tr("Live Captions overlay"));
    m_resizeSettle.setSingleShot(true);
    m_resizeSettle.setInterval(resizeSettleMs);
    connect(&m_resizeSettle, &QTimer::timeout, this, [this] {
        // Held still with the button down is a pause, not the end.
        if (DesktopWindowHints::primaryButtonDown().value_or(false)) {
            m_resizeSettle.start();
            return;
        }
        m_userResizing = false;
        Q_EMIT liveResizeEnded();
    });
    // The window manager keeps the button's release to itself: it is looked for until it comes.
    m_pointerWatch.setInterval(pointerWatchMs);
    connect(&m_pointerWatch, &QTimer::timeout, this, [this] {
        if (!DesktopWindowHints::primaryButtonDown().value_or(false))
            release();
    });
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

OverlayPanel::~OverlayPanel() = default;

Qt::WindowFlags OverlayPanel::overlayFlags(bool clickThrough)
{
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
        | Qt::NoDropShadowWindowHint;
    if (DesktopWindowHints::throughXWayland())
        flags |= Qt::X11BypassWindowManagerHint;
    if (clickThrough)
        flags |= Qt::WindowTransparentForInput;
    return flags;
}

void OverlayPanel::setContent(QWidget *content)
{
    m_content = content;
    layout()->addWidget(content);
    // Mouse events that the content leaves alone come up to the panel, which moves or resizes itself;
    // tracking lets the panel show the resize cursor at its edges.
    content->setMouseTracking(true);
    const auto children = content->findChildren<QWidget *>();
    for (QWidget *child : children)
        child->setMouseTracking(true);
}

void OverlayPanel::setClickThrough(bool clickThrough)
{
    if (clickThrough == isClickThrough())
        return;
    const bool wasVisible = isVisible();
    const QRect frame = geometry();
    // Changing the flags hides the window; it comes back where it was.
    setWindowFlags(overlayFlags(clickThrough));
    setGeometry(frame);
    if (wasVisible)
        show();
    if (m_hintsApplied)
        DesktopWindowHints::passInputThrough(this, clickThrough);
}

bool OverlayPanel::isClickThrough() const
{
    return windowFlags().testFlag(Qt::WindowTransparentForInput);
}

Qt::Edges OverlayPanel::edgesAt(const QPoint &pos) const
{
    Qt::Edges edges;
    if (pos.x() < resizeEdgeWidth)
        edges |= Qt::LeftEdge;
    if (pos.x() >= width() - resizeEdgeWidth)
        edges |= Qt::RightEdge;
    if (pos.y() < resizeEdgeWidth)
        edges |= Qt::TopEdge;
    if (pos.y() >= height() - resizeEdgeWidth)
        edges |= Qt::BottomEdge;
    return edges;
}

QRect OverlayPanel::frameOnScreen() const
{
    return { DesktopWindowHints::originOnScreen(this).value_or(pos()), size() };
}

void OverlayPanel::setShadowed(bool shadowed)
{
    if (shadowed == m_shadowed)
        return;
    m_shadowed = shadowed;
    const int margin = shadowed ? shadowMargin : 0;
    layout()->setContentsMargins(margin, margin, margin, margin);
    update();
}

// A soft shadow: rounded outlines around the caption's box, fading out towards the window's edge. Drawn
// in the margin only, so that the caption's own translucency is left as the user set it.
void OverlayPanel::paintEvent(QPaintEvent *)
{
    if (!m_shadowed || !m_content)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = m_content->geometry();
    QPainterPath outside;
    outside.addRect(rect());
    QPainterPath inside;
    inside.addRoundedRect(box, shadowRadius, shadowRadius);
    painter.setClipPath(outside.subtracted(inside));
    painter.setBrush(Qt::NoBrush);
    for (int i = shadowMargin; i >= 1; --i) {
        const qreal strength = 1.0 - qreal(i) / (shadowMargin + 1);
        painter.setPen(QPen(QColor(0, 0, 0, int(70 * strength * strength)), 2));
        const QRectF ring = box.adjusted(-i, -i + 2, i, i + 2); // a little lower: light comes from above
        painter.drawRoundedRect(ring, shadowRadius + i, shadowRadius + i);
    }
}

void OverlayPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    setShadowed(DesktopWindowHints::compositorRunning());
    Q_EMIT translucencyChecked(DesktopWindowHints::translucencyShown());
    DesktopWindowHints::showOnAllDesktops(this);
    DesktopWindowHints::skipTaskbarAndPager(this);
    m_hintsApplied = false;
    if (windowHandle())
        windowHandle()->installEventFilter(this);
}

void OverlayPanel::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_hintsApplied = false;
    if (m_held)
        release();
}

// Once mapped, the window has the frame its window manager gives it, and the hints that concern the
// frame can be applied.
void OverlayPanel::applyWindowSystemHints()
{
    DesktopWindowHints::skipTaskbarAndPager(this);
    if (isClickThrough())
        DesktopWindowHints::passInputThrough(this, true);
    m_hintsApplied = true;
    Q_EMIT mappedOnScreen();
}

bool OverlayPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Expose && watched == windowHandle() && windowHandle()->isExposed()) {
        // The first time the window system puts the overlay on screen, for the launch-time measurements.
        if (!std::exchange(m_exposedOnce, true))
            SLOG_DEBUG(lcApp, "Overlay window on screen");
        if (!m_hintsApplied)
            applyWindowSystemHints();
    }
    return QWidget::eventFilter(watched, event);
}

void OverlayPanel::hold(bool byWindowManager)
{
    m_held = true;
    if (byWindowManager && DesktopWindowHints::primaryButtonDown().has_value())
        m_pointerWatch.start();
    Q_EMIT heldByUser();
}

void OverlayPanel::release()
{
    m_pointerWatch.stop();
    if (!std::exchange(m_held, false))
        return;
    Q_EMIT releasedByUser();
}

void OverlayPanel::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    Q_EMIT moved();
}

void OverlayPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // A resize the window manager performs (also one it starts itself, from its own frame or keys) ends
    // like one begun here.
    if (m_userResizing || (event->spontaneous() && isVisible())) {
        m_userResizing = true;
        m_resizeSettle.start();
    }
}

void OverlayPanel::beginResize(Qt::Edges edges)
{
    m_userResizing = true;
    // Also armed now, so that a resize that changes nothing still ends.
    m_resizeSettle.start();
    QWindow *handle = windowHandle();
    // A window that places itself (see DesktopWindowHints::throughXWayland) is no window manager's to move.
    const bool byWindowManager = !DesktopWindowHints::throughXWayland() && handle && handle->startSystemResize(edges);
    if (!byWindowManager) {
        m_manual = Manual::Resize;
        m_manualEdges = edges;
    }
    hold(byWindowManager);
}

void OverlayPanel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // Nothing starts until the pointer moves: a window manager asked to move a window after a quick
    // click has already ended would hold it until the next click.
    m_pressGlobal = event->globalPosition().toPoint();
    m_pressGeometry = geometry();
    m_pressEdges = edgesAt(event->position().toPoint());
    m_pressed = true;
    event->accept();
}

// The pointer has moved far enough with the button down: a move or resize begins, by the window
// manager where it can, by hand where not.
void OverlayPanel::beginGesture()
{
    m_pressed = false;
    if (m_pressEdges) {
        beginResize(m_pressEdges);
        return;
    }
    // The window manager moves the window from where the pointer is now: the way already come is made
    // up first, so that the window stays under the point that was pressed.
    move(m_pressGeometry.topLeft() + QCursor::pos() - m_pressGlobal);
    QWindow *handle = windowHandle();
    const bool byWindowManager = !DesktopWindowHints::throughXWayland() && handle && handle->startSystemMove();
    if (!byWindowManager)
        m_manual = Manual::Move;
    hold(byWindowManager);
}

void OverlayPanel::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint delta = event->globalPosition().toPoint() - m_pressGlobal;
    if (m_pressed && event->buttons().testFlag(Qt::LeftButton)
        && delta.manhattanLength() >= QApplication::startDragDistance())
        beginGesture();
    switch (m_manual) {
    case Manual::Move:
        move(m_pressGeometry.topLeft() + delta);
        break;
    case Manual::Resize: {
        QRect r = m_pressGeometry;
        const QSize minimum = minimumSizeHint().expandedTo(minimumSize());
        if (m_manualEdges & Qt::LeftEdge)
            r.setLeft(qMin(r.left() + delta.x(), r.right() - minimum.width() + 1));
        if (m_manualEdges & Qt::RightEdge)
            r.setRight(qMax(r.right() + delta.x(), r.left() + minimum.width() - 1));
        if (m_manualEdges & Qt::TopEdge)
            r.setTop(qMin(r.top() + delta.y(), r.bottom() - minimum.height() + 1));
        if (m_manualEdges & Qt::BottomEdge)
            r.setBottom(qMax(r.bottom() + delta.y(), r.top() + minimum.height() - 1));
        setGeometry(r);
        break;
    }
    case Manual::None:
        updateCursor(event->position().toPoint());
        break;
    }
    event->accept();
}

void OverlayPanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_manual == Manual::Resize && m_resizeSettle.isActive()) {
        m_resizeSettle.stop();
        m_userResizing = false;
        Q_EMIT liveResizeEnded();
    }
    m_manual = Manual::None;
    m_pressed = false;
    release();
    QWidget::mouseReleaseEvent(event);
}

void OverlayPanel::updateCursor(const QPoint &pos)
{
    const Qt::Edges edges = edgesAt(pos);
    Qt::CursorShape shape = Qt::ArrowCursor;
    if ((edges & Qt::LeftEdge && edges & Qt::TopEdge) || (edges & Qt::RightEdge && edges & Qt::BottomEdge))
        shape = Qt::SizeFDiagCursor;
    else if ((edges & Qt::RightEdge && edges & Qt::TopEdge) || (edges & Qt::LeftEdge && edges & Qt::BottomEdge))
        shape = Qt::SizeBDiagCursor;
    else if (edges & (Qt::LeftEdge | Qt::RightEdge))
        shape = Qt::SizeHorCursor;
    else if (edges & (Qt::TopEdge | Qt::BottomEdge))
        shape = Qt::SizeVerCursor;
    setCursor(shape);
}
