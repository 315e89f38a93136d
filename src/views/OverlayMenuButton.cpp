#include "views/OverlayMenuButton.h"

#include "base/ObjectWillChange.h"
#include "views/AppCommands.h"
#include "views/MenuActionsContent.h"

#include <QMenu>
#include <QPainter>
#include <QSvgRenderer>

OverlayMenuButton::OverlayMenuButton(AppCommands &app, QWidget *parent)
    : QAbstractButton(parent), m_menu(new QMenu(this)),
      m_icon(new QSvgRenderer(QStringLiteral(":/sonorel/ellipsis.svg"), this))
{
    setFixedSize(sideLength, sideLength);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
    setToolTip(tr("Live Captions"));
    setAccessibleName(tr("Live Captions menu"));
    m_content = new MenuActionsContent(app, m_menu);
    cancellables.push_back(app.appWillChange().subscribeOn(this, [this] { m_content->refresh(); }));
    connect(this, &QAbstractButton::pressed, this, &OverlayMenuButton::openMenu);
}

OverlayMenuButton::~OverlayMenuButton() = default;

void OverlayMenuButton::openMenu()
{
    // popup() rather than exec(): the button's window must not block the event loop.
    m_menu->popup(mapToGlobal(QPoint(0, height())));
    setDown(false);
}

void OverlayMenuButton::enterEvent(QEnterEvent *event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void OverlayMenuButton::leaveEvent(QEvent *event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void OverlayMenuButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // A darker, denser circle at rest; a lighter, thinner one under the pointer.
    const QColor fill = m_hovering ? QColor(60, 60, 67, 110) : QColor(28, 28, 30, 170);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    constexpr qreal padding = 6;
    m_icon->render(&painter, QRectF(rect()).adjusted(padding, padding, -padding, -padding));
}
