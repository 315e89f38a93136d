#include "app/SonorelApp.h"
#include "platform/DesktopServices.h"
#include "platform/FileManagerReveal.h"
#include "platform/WhisperModel.h"
#include "platform/XdgAutostart.h"
#include "settings/AppSettings.h"
#include "updates/UpdateManager.h"
#include "views/DesktopOpener.h"
#include "views/MessageBoxUpdatePresenter.h"

// The composition root: the desktop's services behind the captioning and update interfaces.
int main(int argc, char **argv)
{
    WhisperModel::restartWithSleepingThreads(argv);
    // The settings offer the languages that have a speech model installed.
    AppSettings::shared().setSupportedLocalesProvider(&desktopSupportedLocales);
    AppSettings::shared().setStartAtLoginApplier(&XdgAutostart::applyForThisProgram);
    AppSettings::shared().setUsersOwnLoginEntryProvider(&XdgAutostart::usersOwnEntry);
    return SonorelApp::run(
        argc, argv, [] { return makeDesktopCaptioningServices(); },
        [] {
            UpdateManager::shared().setAlertPresenter(std::make_shared<MessageBoxUpdatePresenter>());
            UpdateManager::shared().setFileRevealer(
                std::make_shared<FileManagerReveal>([](const QUrl &folder) { DesktopOpener::open(folder); }));
        });
}
