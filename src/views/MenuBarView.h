#pragma once

#include "base/Subscription.h"

#include <QMenu>

class AppCommands;
class MenuActionsContent;

// The tray icon's menu: the command list, kept up to date when the application's state changes and
// whenever it opens.
class MenuBarView final : public QMenu
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MenuBarView)

public:
    explicit MenuBarView(AppCommands &app, QWidget *parent = nullptr);
    ~MenuBarView() override;

    MenuActionsContent &content() const { return *m_content; }

private:
    MenuActionsContent *m_content;
    Cancellables cancellables;
};
