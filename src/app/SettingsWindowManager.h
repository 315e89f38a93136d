#pragma once

#include "app/ManagedWindow.h"

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

    void show();
    QWidget *settingsWindow() const { return m_window->window(); }

private:
    std::unique_ptr<ManagedWindow> m_window;
};
