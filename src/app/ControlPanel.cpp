#include "app/ControlPanel.h"

#include "app/DesktopWindowHints.h"
#include "views/OverlayMenuButton.h"

#include <QVBoxLayout>

ControlPanel::ControlPanel(AppCommands &app, QWidget *parent)
    : QWidget(parent,
        Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
            | Qt::NoDropShadowWindowHint
            | (DesktopWindowHints::throughXWayland() ? Qt::X11BypassWindowManagerHint : Qt::WindowFlags())),
      m_button(new OverlayMenuButton(app, this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_NoSystemBackground);
    setWindowTitle(tr("Live Captions menu"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_button);
    winId();
    DesktopWindowHints::showOnAllDesktops(this);
}

void ControlPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    DesktopWindowHints::skipTaskbarAndPager(this);
}
