#include "platform/FileManagerReveal.h"

#include "base/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>

FileManagerReveal::FileManagerReveal(FolderOpener openFolder, std::chrono::milliseconds timeout)
    : m_openFolder(std::move(openFolder)), m_timeout(timeout)
{ }

void FileManagerReveal::reveal(const QString &filePath)
{
    const QFileInfo file(filePath);
    const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
    // Captured by value: the answer may come after this object is gone.
    const auto fallBack = [openFolder = m_openFolder, folder] {
        if (openFolder)
            openFolder(folder);
    };

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallBack();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("ShowItems"));
    call << QStringList { QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded) } << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, int(m_timeout.count())));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [fallBack, filePath](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<> reply = *w;
        if (!reply.isError())
            return;
        SLOG_DEBUG(lcUpdater, "No file manager revealed %{public}s: %{public}s", filePath, reply.error().message());
        fallBack();
    });
}
