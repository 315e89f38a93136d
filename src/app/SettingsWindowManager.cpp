#include "app/SettingsWindowManager.h"

#include "settings/AppSettings.h"
#include "views/SettingsView.h"

#include <QCoreApplication>

SettingsWindowManager &SettingsWindowManager::shared()
{
    // Never destroyed: a window cannot outlive the application object that a static would outlive.
    static auto *instance = new SettingsWindowManager(AppSettings::shared());
    return *instance;
}

SettingsWindowManager::SettingsWindowManager(AppSettings &settings, QSettings *store)
    : m_window(std::make_unique<ManagedWindow>(
        ManagedWindow::Description { QCoreApplication::translate("SettingsWindowManager", "Live Captions Settings"),
            QStringLiteral("SettingsWindow"),
            [&settings, watcher = m_watcher] {
                return new SettingsView(settings, [watcher](AudioCaptureService::ContentHandler handler) {
                    return *watcher ? (*watcher)(std::move(handler)) : nullptr;
                });
            } },
        store))
{ }

SettingsWindowManager::~SettingsWindowManager() = default;

void SettingsWindowManager::show()
{
    m_window->show();
}
