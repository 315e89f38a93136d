#include "app/AboutWindowManager.h"

#include "views/AboutView.h"

#include <QCoreApplication>

AboutWindowManager &AboutWindowManager::shared()
{
    // Never destroyed: a window cannot outlive the application object that a static would outlive.
    static auto *instance = new AboutWindowManager;
    return *instance;
}

AboutWindowManager::AboutWindowManager(QSettings *store)
    : m_window(std::make_unique<ManagedWindow>(
        ManagedWindow::Description { QCoreApplication::translate("AboutWindowManager", "About Sonorel"),
            QStringLiteral("AboutWindow"),
            [] {
                auto *view = new AboutView;
                view->setMinimumSize(width, height);
                return view;
            } },
        store))
{ }

AboutWindowManager::~AboutWindowManager() = default;

void AboutWindowManager::show()
{
    m_window->show();
}
