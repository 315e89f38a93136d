#include "app/SonorelApp.h"

#include "app/DesktopWindowHints.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"
#include "base/Log.h"
#include "settings/AppSettings.h"
#include "updates/UpdateManager.h"
#include "views/MenuBarView.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QIcon>
#include <QSettings>
#include <QSystemTrayIcon>

#include <cstdio>
#include <optional>

namespace SonorelApp {

namespace {

// What keeps Sonorel from opening windows, found before Qt, which would abort the process over it.
std::optional<QString> missingDesktopSession()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const QByteArray display = qgetenv("DISPLAY");
    const bool wayland = !qgetenv("WAYLAND_DISPLAY").isEmpty();
    // Another platform chosen on purpose (offscreen, say) is the user's business.
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return std::nullopt;
    if (display.isEmpty() && (!wayland || !platform.isEmpty()))
        return QStringLiteral("Sonorel needs a graphical desktop session (X11 or Wayland), and none was found: "
                              "DISPLAY is not set. Start Sonorel from your desktop.");
    if (!display.isEmpty() && !wayland && !DesktopWindowHints::x11DisplayReachable(display))
        return QStringLiteral("Sonorel needs a graphical desktop session, and the display %1 does not answer. "
                              "Start Sonorel from your desktop, or set DISPLAY to a running X server.")
            .arg(QString::fromLocal8Bit(display));
    return std::nullopt;
}

} // namespace

int run(int argc, char **argv, AppDelegate::ServicesFactory makeServices, const std::function<void()> &installServices)
{
    DesktopWindowHints::chooseXWaylandInWaylandSession();
    if (const auto problem = missingDesktopSession()) {
        std::fprintf(stderr, "%s\n", problem->toLocal8Bit().constData());
        return 1;
    }
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("ambrite"));
    QCoreApplication::setApplicationName(QStringLiteral("sonorel"));
    // No display name: Qt would add " — Sonorel" to every window title the window manager shows.
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
    QObject::connect(&signals, &TerminationSignals::terminationRequested, &delegate, [&delegate](int number) {
        SLOG_INFO(lcApp, "Received signal %d", number);
        delegate.quit();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);

    MenuBarView menu(delegate);
    QSystemTrayIcon tray(QIcon(QStringLiteral(":/sonorel/sonorel.svg")));
    tray.setToolTip(QCoreApplication::translate("SonorelApp", "Live Captions"));
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
