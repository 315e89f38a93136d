#include "views/MenuActionsContent.h"

#include "views/AppCommands.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

namespace {

QString captionsLabel(bool running)
{
    return running ? QCoreApplication::translate("MenuActionsContent", "Stop Captions")
                   : QCoreApplication::translate("MenuActionsContent", "Start Captions");
}

QString overlayLabel(bool visible)
{
    return visible ? QCoreApplication::translate("MenuActionsContent", "Hide Overlay")
                   : QCoreApplication::translate("MenuActionsContent", "Show Overlay");
}

QString clickThroughLabel(bool clickThrough)
{
    return clickThrough ? QCoreApplication::translate("MenuActionsContent", "Interact")
                        : QCoreApplication::translate("MenuActionsContent", "Click-Through");
}

} // namespace

MenuActionsContent::MenuActionsContent(AppCommands &app, QMenu *menu) : QObject(menu), m_app(app), m_menu(menu)
{
    m_captions = menu->addAction(QString());
    m_overlay = menu->addAction(QString());
    m_clickThrough = menu->addAction(QString());
    connect(m_captions, &QAction::triggered, this, [this] { triggerToggle(Toggle::Captions, m_captions); });
    connect(m_overlay, &QAction::triggered, this, [this] { triggerToggle(Toggle::Overlay, m_overlay); });
    connect(m_clickThrough, &QAction::triggered, this, [this] { triggerToggle(Toggle::ClickThrough, m_clickThrough); });
    m_sources = menu->addMenu(tr("Caption From"));
    connect(m_sources, &QMenu::aboutToShow, this, [this] {
        fillSources();
        m_sourceWatch = m_app.watchAudioSources([self = QPointer(this)](const AudioCaptureContent &content) {
            if (!self)
                return;
            self->m_content = content;
            self->fillSources();
        });
    });
    connect(m_sources, &QMenu::aboutToHide, this, [this] { m_sourceWatch.reset(); });
    menu->addSeparator();
    m_saveTranscript = menu->addAction(tr("Save Transcript..."));
    connect(m_saveTranscript, &QAction::triggered, this, [this] { m_app.saveTranscript(); });
    menu->addSeparator();
    connect(menu->addAction(tr("Settings...")), &QAction::triggered, this, [this] { m_app.showSettings(); });
    menu->addSeparator();
    connect(menu->addAction(tr("About")), &QAction::triggered, this, [this] { m_app.showAbout(); });
    connect(menu->addAction(tr("Send Feedback")), &QAction::triggered, this, [this] { m_app.sendFeedback(); });
    menu->addSeparator();
    connect(menu->addAction(tr("Follow on X")), &QAction::triggered, this, [this] { m_app.followOnX(); });
    connect(menu->addAction(tr("Follow on YouTube")), &QAction::triggered, this, [this] { m_app.followOnYouTube(); });
    menu->addSeparator();
    connect(menu->addAction(tr("Check for Updates")), &QAction::triggered, this, [this] { m_app.checkForUpdates(); });
    menu->addSeparator();
    // Queued: quitting from inside the menu's own signal would tear the menu down under its feet.
    connect(
        menu->addAction(tr("Quit")), &QAction::triggered, this, [this] { m_app.quit(); }, Qt::QueuedConnection);

    connect(menu, &QMenu::aboutToShow, this, &MenuActionsContent::refresh);
    refresh();
}

void MenuActionsContent::refresh()
{
    // Each label records the state it was built from, so that a click does what the label said even if
    // the state moved on while the menu was open.
    const bool running = m_app.captionsRunning();
    const bool visible = m_app.overlayVisible();
    const bool clickThrough = m_app.clickThroughEnabled();
    m_captions->setText(captionsLabel(running));
    m_captions->setData(running);
    m_overlay->setText(overlayLabel(visible));
    m_overlay->setData(visible);
    m_clickThrough->setText(clickThroughLabel(clickThrough));
    m_clickThrough->setData(clickThrough);
    m_saveTranscript->setEnabled(m_app.hasTranscript());
}

void MenuActionsContent::fillSources()
{
    m_sources->clear();
    delete m_sourceGroup;
    auto *group = m_sourceGroup = new QActionGroup(m_sources);
    for (const AudioSourceChoice &choice : audioSourceChoices(m_content, m_app.audioSource())) {
        QAction *action = m_sources->addAction(choice.label);
        if (!choice.source) {
            action->setEnabled(false); // a heading
            continue;
        }
        if (!choice.iconName.isEmpty())
            action->setIcon(QIcon::fromTheme(choice.iconName));
        action->setCheckable(true);
        action->setChecked(choice.isCurrent);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, source = *choice.source] { m_app.setAudioSource(source); });
    }
}

void MenuActionsContent::triggerToggle(Toggle which, QAction *action)
{
    const bool shownState = action->data().toBool();
    switch (which) {
    case Toggle::Captions:
        if (shownState)
            m_app.stopCaptions();
        else
            m_app.startCaptions();
        break;
    case Toggle::Overlay:
        // "Hide" while already hidden (or "Show" while shown) has nothing left to do.
        if (shownState == m_app.overlayVisible())
            m_app.toggleOverlayVisibility();
        break;
    case Toggle::ClickThrough:
        if (shownState == m_app.clickThroughEnabled())
            m_app.toggleClickThrough();
        break;
    }
}

QStringList MenuActionsContent::itemLabels(const QMenu &menu)
{
    QStringList labels;
    for (const QAction *action : menu.actions())
        labels.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return labels;
}
