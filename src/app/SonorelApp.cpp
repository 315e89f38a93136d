#include "SonorelApp.h"

#include "AppSettings.h"
#include "Log.h"
#include "MenuBarView.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"
#include "UpdateManager.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QSettings>
#include <QSystemTrayIcon>

namespace SonorelApp {

int run(int argc, char **argv, AppDelegate::ServicesFactory makeServices, const std::function<void()> &installServices)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ambrite"));
    QCoreApplication::setApplicationName(QStringLiteral("sonorel"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Sonorel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sonorel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/sonorel/sonorel.svg")));
    // No main window: closing About or Settings must not end the application.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (instance.askRunningInstanceToShow()) {
        SLOG_INFO(lcApp, "Sonorel is already running; asked it to show its overlay");
        return 0;
    }
    instance.listen();
    if (installServices)
        installServices();

    TerminationSignals signals;
    AppDelegate delegate(
        AppSettings::shared(), AppSettings::openStore(AppSettings::userFileName()), std::move(makeServices));
    delegate.setUpdateCheck([] { UpdateManager::shared().checkForUpdatesInBackground(); });
    QObject::connect(&instance, &SingleInstance::showOverlayRequested, &delegate, &AppDelegate::showOverlay);
    QObject::connect(&signals, &TerminationSignals::terminationRequested, &app, [](int number) {
        SLOG_INFO(lcApp, "Received signal %d", number);
        QCoreApplication::quit();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);

    MenuBarView menu(delegate);
    QSystemTrayIcon tray(QIcon(QStringLiteral(":/sonorel/sonorel.svg")));
    tray.setToolTip(QStringLiteral("Live Captions"));
    tray.setContextMenu(&menu);
    // Many trays give a left click to the application rather than opening the menu.
    QObject::connect(&tray, &QSystemTrayIcon::activated, &menu, [&menu](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            menu.popup(QCursor::pos());
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray.show();
    else
        SLOG_INFO(lcApp, "No system tray available; the overlay's menu button offers the commands");

    delegate.applicationDidFinishLaunching();
    const int status = app.exec();
    delegate.applicationWillTerminate();
    return status;
}

} // namespace SonorelApp
