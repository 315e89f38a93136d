#include "LocalHttpServer.h"

#include <QTimer>

LocalHttpServer::LocalHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
                socket->setProperty("request", buffer);
                const qsizetype end = buffer.indexOf("\r\n\r\n");
                if (end < 0 || socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                m_lastRequestHead = buffer.left(end);
                const QString path = QString::fromLatin1(buffer.left(buffer.indexOf("\r\n")).split(' ').value(1));
                m_requestCounts[path] += 1;
                answer(socket, m_responses.value(path, Response { 404, "not found" }));
            });
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("LocalHttpServer: cannot listen on 127.0.0.1");
}

QUrl LocalHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

QUrl LocalHttpServer::refusingUrl(const QString &path)
{
    QTcpServer probe; // bound, then let go: nothing listens there for the rest of the test
    probe.listen(QHostAddress::LocalHost, 0);
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(probe.serverPort()).arg(path));
}

void LocalHttpServer::answer(QTcpSocket *socket, const Response &response)
{
    const bool bodyless = response.status == 204 || response.status == 304;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status)
        + " Status\r\nConnection: close\r\nSet-Cookie: session=1; Path=/\r\n";
    switch (response.mode) {
    case Mode::silent:
        return;
    case Mode::complete:
    case Mode::truncated: {
        const qsizetype announced = response.body.size() * (response.mode == Mode::truncated ? 2 : 1);
        const QByteArray length = "Content-Length: " + QByteArray::number(announced) + "\r\n";
        socket->write(bodyless ? head + "\r\n" : head + length + "\r\n" + response.body);
        break;
    }
    case Mode::chunked:
        socket->write(head + "Transfer-Encoding: chunked\r\n\r\n");
        for (qsizetype at = 0; at < response.body.size(); at += 65536) {
            const QByteArray part = response.body.mid(at, 65536);
            socket->write(QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n");
        }
        socket->write("0\r\n\r\n");
        break;
    case Mode::trickle: {
        socket->write(head + "Content-Length: 1000000000\r\n\r\n");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(50);
        return;
    }
    }
    socket->disconnectFromHost();
}
