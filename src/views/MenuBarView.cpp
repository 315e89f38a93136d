#include "views/MenuBarView.h"

#include "base/ObjectWillChange.h"
#include "views/AppCommands.h"
#include "views/MenuActionsContent.h"

MenuBarView::MenuBarView(AppCommands &app, QWidget *parent) : QMenu(parent)
{
    setMinimumWidth(160);
    m_content = new MenuActionsContent(app, this);
    // Posted: the notification comes before the new value is stored.
    cancellables.push_back(app.appWillChange().subscribeOn(this, [this] { m_content->refresh(); }));
}

MenuBarView::~MenuBarView() = default;
