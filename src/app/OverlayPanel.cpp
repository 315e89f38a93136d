#include "OverlayPanel.h"

#include "DesktopWindowHints.h"
#include "Log.h"

#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWindow>

OverlayPanel::OverlayPanel(QWidget *parent) : QWidget(parent, overlayFlags(false))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    setWindowTitle(QStringLiteral("Live Captions"));
    setAccessibleName(QStringLiteral("Live Captions overlay"));
    m_resizeSettle.setSingleShot(true);
    m_resizeSettle.setInterval(resizeSettleMs);
    connect(&m_resizeSettle, &QTimer::timeout, this, [this] {
        m_userResizing = false;
        Q_EMIT liveResizeEnded();
    });
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

OverlayPanel::~OverlayPanel() = default;

Qt::WindowFlags OverlayPanel::overlayFlags(bool clickThrough)
{
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
        | Qt::NoDropShadowWindowHint;
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

void OverlayPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    DesktopWindowHints::showOnAllDesktops(this);
    if (!m_exposedOnce && windowHandle())
        windowHandle()->installEventFilter(this);
}

bool OverlayPanel::eventFilter(QObject *watched, QEvent *event)
{
    // The first time the window system puts the overlay on screen, for the launch-time measurements.
    if (event->type() == QEvent::Expose && watched == windowHandle() && windowHandle()->isExposed()
        && !std::exchange(m_exposedOnce, true)) {
        SLOG_DEBUG(lcApp, "Overlay window on screen");
        watched->removeEventFilter(this);
    }
    return QWidget::eventFilter(watched, event);
}

void OverlayPanel::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    Q_EMIT moved();
}

void OverlayPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_userResizing)
        m_resizeSettle.start();
}

void OverlayPanel::beginResize(Qt::Edges edges)
{
    m_userResizing = true;
    // Also armed now, so that a resize that changes nothing still ends.
    m_resizeSettle.start();
    QWindow *handle = windowHandle();
    if (!handle || !handle->startSystemResize(edges)) {
        m_manual = Manual::Resize;
        m_manualEdges = edges;
    }
}

void OverlayPanel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressGlobal = event->globalPosition().toPoint();
    m_pressGeometry = geometry();
    const Qt::Edges edges = edgesAt(event->position().toPoint());
    if (edges) {
        beginResize(edges);
    } else {
        QWindow *handle = windowHandle();
        if (!handle || !handle->startSystemMove())
            m_manual = Manual::Move;
    }
    event->accept();
}

void OverlayPanel::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint delta = event->globalPosition().toPoint() - m_pressGlobal;
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
