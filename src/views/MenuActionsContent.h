#pragma once

#include <QObject>
#include <QPointer>

class AppCommands;
class QAction;
class QMenu;

// The one list of Sonorel's commands, put into a menu. Both the tray menu and the overlay's menu button
// use it. The first three items change their label with the application's state, never their position;
// labels are brought up to date each time the menu is about to open, and on demand through refresh().
// "Save Transcript…" is enabled only once there is text to save.
class MenuActionsContent final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MenuActionsContent)

public:
    MenuActionsContent(AppCommands &app, QMenu *menu);

    void refresh();
    QMenu *menu() const { return m_menu; }

    // Labels of the menu's items in order, with "-" for a divider; what a person sees in it.
    static QStringList itemLabels(const QMenu &menu);

private:
    enum class Toggle { Captions, Overlay, ClickThrough };
    void triggerToggle(Toggle which, QAction *action);

    AppCommands &m_app;
    QPointer<QMenu> m_menu;
    QAction *m_captions = nullptr;
    QAction *m_overlay = nullptr;
    QAction *m_clickThrough = nullptr;
    QAction *m_saveTranscript = nullptr;
};
