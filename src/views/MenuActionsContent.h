#pragma once

#include <QObject>
#include <QPointer>

#include "captioning/AudioCaptureService.h"

#include <memory>

class AppCommands;
class QAction;
class QActionGroup;
class QMenu;

// The one list of Sonorel's commands, put into a menu. Both the tray menu and the overlay's menu button
// use it. The "Caption From" submenu lists the sources while it is open. The first three items change their label with
// the application's state, never their position; labels are brought up to date each time the menu is about to open, and
// on demand through refresh(). "Save Transcript..." is enabled only once there is text to save.
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
    void fillSources();

    AppCommands &m_app;
    QPointer<QMenu> m_menu;
    QAction *m_captions = nullptr;
    QAction *m_overlay = nullptr;
    QAction *m_clickThrough = nullptr;
    QMenu *m_sources = nullptr;
    QActionGroup *m_sourceGroup = nullptr;
    AudioCaptureContent m_content;
    std::shared_ptr<void> m_sourceWatch; // held while the submenu is open
    QAction *m_saveTranscript = nullptr;
};
