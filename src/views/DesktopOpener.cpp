#include "views/DesktopOpener.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMessageBox>
#include <QUrlQuery>

namespace DesktopOpener {

QString failureText(const QUrl &url)
{
    const auto tr = [](const char *text) { return QCoreApplication::translate("DesktopOpener", text); };
    if (url.isLocalFile())
        return tr("Sonorel could not open the folder, because no file manager is set up to open it. The folder "
                  "is:\n\n%1")
            .arg(QDir::toNativeSeparators(url.toLocalFile()));
    if (url.scheme() == QLatin1String("mailto")) {
        const QString subject = QUrlQuery(url).queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded);
        return tr("Sonorel could not open a mail program, because none is set up. Write to:\n\n%1\n\nwith the "
                  "subject “%2”.")
            .arg(url.path(), subject);
    }
    return tr("Sonorel could not open a web browser, because none is set up. The address is:\n\n%1")
        .arg(url.toString());
}

bool open(const QUrl &url, QWidget *parent)
{
    if (QDesktopServices::openUrl(url))
        return true;
    SLOG_ERROR(lcApp, "No handler opened %s", url.toString());
    auto *box = new QMessageBox(QMessageBox::Information, QCoreApplication::translate("DesktopOpener", "Live Captions"),
        failureText(url), QMessageBox::Ok, parent);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    return false;
}

} // namespace DesktopOpener
