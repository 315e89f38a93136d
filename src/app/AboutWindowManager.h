#pragma once

#include "app/ManagedWindow.h"

#include <memory>

class QSettings;

// Owner of the About window: one window for the whole process, frame remembered as "AboutWindow".
class AboutWindowManager final
{
public:
    static constexpr int width = 360;
    static constexpr int height = 320;

    static AboutWindowManager &shared();
    // `store` null: the user's settings file.
    explicit AboutWindowManager(QSettings *store = nullptr);
    ~AboutWindowManager();
    AboutWindowManager(const AboutWindowManager &) = delete;
    AboutWindowManager &operator=(const AboutWindowManager &) = delete;

    void show();
    QWidget *window() const { return m_window->window(); }

private:
    std::unique_ptr<ManagedWindow> m_window;
};
