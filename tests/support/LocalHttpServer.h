#pragma once

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

// An HTTP/1.1 server on 127.0.0.1: each path answers as configured (unknown ones 404), also stalling or trickling
// for client time-outs. Every answer sets a cookie, so that a client that kept cookies would send one back.
class LocalHttpServer final
{
public:
    // complete: status, Content-Length and body, then the connection closes; silent: never answers; trickle:
    // headers, then one byte of body every 50 ms without end; truncated: announces twice the body's length.
    enum class Mode { complete, silent, trickle, truncated };
    struct Response {
        int status = 200;
        QByteArray body;
        Mode mode = Mode::complete;
    };

    LocalHttpServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
            }
        });
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("LocalHttpServer: cannot listen on 127.0.0.1");
    }
    Q_DISABLE_COPY_MOVE(LocalHttpServer)

    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    void setResponse(const QString &path, Response response) { m_responses.insert(path, response); }
    // How many requests reached `path`, and the last request's head (request line and headers).
    int requestCount(const QString &path) const { return m_requestCounts.value(path); }
    QByteArray lastRequestHead() const { return m_lastRequestHead; }

private:
    void read(QTcpSocket *socket)
    {
        const QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", buffer);
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0 || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        m_lastRequestHead = buffer.left(end);
        const QString path = QString::fromLatin1(buffer.left(buffer.indexOf("\r\n")).split(' ').value(1));
        m_requestCounts[path] += 1;
        const Response response = m_responses.value(path, Response { 404, "not found" });
        const QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status)
            + " Status\r\nConnection: close\r\nSet-Cookie: session=1; Path=/\r\nContent-Length: ";
        if (response.mode == Mode::trickle) {
            socket->write(head + "1000000000\r\n\r\n");
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(50);
        } else if (response.mode != Mode::silent) {
            const qsizetype announced = response.body.size() * (response.mode == Mode::truncated ? 2 : 1);
            socket->write(head + QByteArray::number(announced) + "\r\n\r\n" + response.body);
            socket->disconnectFromHost();
        }
    }

    QTcpServer m_server;
    QHash<QString, Response> m_responses;
    QHash<QString, int> m_requestCounts;
    QByteArray m_lastRequestHead;
};
