#include "SingleInstance.h"

#include "Log.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

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

bool SingleInstance::askRunningInstanceToShow(int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(showOverlayMessage);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The running instance closes the connection once it has read the request.
    socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(serverName())) {
        // Nobody answered on it, so the socket is left over from an instance that died.
        QLocalServer::removeServer(serverName());
        if (!m_server->listen(serverName())) {
            SLOG_ERROR(lcApp, "Cannot listen for other launches: %{public}s", m_server->errorString());
            return false;
        }
    }
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
