#include "app/SingleInstance.h"

#include "base/Log.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>
#include <unistd.h>

SingleInstance::SingleInstance(QObject *parent) : QObject(parent)
{ }

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath(QStringLiteral("sonorel.socket"));
    return QStringLiteral("sonorel-%1").arg(::getuid());
}

QString SingleInstance::fallbackServerName()
{
    QString name = serverName();
    return name.endsWith(QLatin1String(".socket")) ? name.insert(name.size() - 7, QStringLiteral("-1"))
                                                   : name + QStringLiteral("-1");
}

namespace {

// The file a server name stands for: a full path as it is, a bare name in the temporary folder.
QString socketPath(const QString &name)
{
    return name.startsWith(u'/') ? name : QDir(QDir::tempPath()).filePath(name);
}

// True when something other than a socket (a folder, a file) is at the path.
bool heldByAnotherProgram(const QString &path)
{
    struct stat info {
    };
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISSOCK(info.st_mode);
}

bool askToShow(const QString &name, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(SingleInstance::showOverlayMessage);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The running instance closes the connection once it has read the request.
    socket.waitForDisconnected(timeoutMs);
    return true;
}

} // namespace

bool SingleInstance::askRunningInstanceToShow(int timeoutMs)
{
    return askToShow(serverName(), timeoutMs) || askToShow(fallbackServerName(), timeoutMs);
}

bool SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    bool listening = false;
    for (const QString &name : { serverName(), fallbackServerName() }) {
        if (heldByAnotherProgram(socketPath(name))) {
            SLOG_ERROR(lcApp, "Cannot listen for other launches at %{public}s: another program uses it", name);
            continue;
        }
        if (!m_server->listen(name)) {
            // A socket nobody answered on is left over from an instance that died.
            QLocalServer::removeServer(name);
            m_server->listen(name);
        }
        if (m_server->isListening()) {
            listening = true;
            break;
        }
        SLOG_ERROR(lcApp, "Cannot listen for other launches: %{public}s", m_server->errorString());
    }
    if (!listening)
        return false;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    if (socket->readLine() == showOverlayMessage) {
                        SLOG_INFO(lcApp, "Another launch asked for the overlay");
                        Q_EMIT showOverlayRequested();
                    }
                }
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}
