#pragma once

#include "app/ManagedWindow.h"
#include "views/AudioSourceChoices.h"

#include <memory>

class AppSettings;
class QSettings;

// Owner of the settings window: one window for the whole process, frame remembered as "SettingsWindow".
class SettingsWindowManager final
{
public:
    static SettingsWindowManager &shared();
    // `store` null: the user's settings file.
    explicit SettingsWindowManager(AppSettings &settings, QSettings *store = nullptr);
    ~SettingsWindowManager();
    SettingsWindowManager(const SettingsWindowManager &) = delete;
    SettingsWindowManager &operator=(const SettingsWindowManager &) = delete;

    // How the window's audio source pop-up learns the sources; without one it offers the current choice only.
    void setSourceWatcher(AudioSourceWatcher watcher) { *m_watcher = std::move(watcher); }
    void show();
    QWidget *settingsWindow() const { return m_window->window(); }

private:
    std::shared_ptr<AudioSourceWatcher> m_watcher = std::make_shared<AudioSourceWatcher>();
    std::unique_ptr<ManagedWindow> m_window;
};
