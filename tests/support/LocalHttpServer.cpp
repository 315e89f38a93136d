#include "LocalHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 304:
        return "Not Modified";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

bool hasNoBody(int status)
{
    return status == 204 || status == 304 || (status >= 100 && status < 200);
}

} // namespace

LocalHttpServer::LocalHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection())
            serve(socket);
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("LocalHttpServer: cannot listen on 127.0.0.1");
}

QUrl LocalHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void LocalHttpServer::setResponse(const QString &path, Response response)
{
    m_responses.insert(path, std::move(response));
}

QUrl LocalHttpServer::refusingUrl(const QString &path)
{
    // Bind a port, then let it go: nothing listens there for the rest of the test.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
}

void LocalHttpServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0 || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        m_lastRequestHead = buffer->left(end);
        const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
        const QString path = requestLine.size() >= 2 ? QString::fromLatin1(requestLine.at(1)) : QString();
        m_requestCounts[path] += 1;
        answer(socket, path);
    });
}

void LocalHttpServer::answer(QTcpSocket *socket, const QString &path)
{
    Response response = m_responses.value(path, Response { 404, "not found", Response::Mode::complete, {}, 50 });
    if (response.mode == Response::Mode::silent)
        return;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto &[name, value] : std::as_const(response.headers))
        head += name + ": " + value + "\r\n";
    switch (response.mode) {
    case Response::Mode::complete:
        if (!hasNoBody(response.status))
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        socket->write(head + "\r\n");
        if (!hasNoBody(response.status))
            socket->write(response.body);
        socket->disconnectFromHost();
        return;
    case Response::Mode::chunked: {
        socket->write(head + "Transfer-Encoding: chunked\r\n\r\n");
        constexpr qsizetype piece = 64 * 1024;
        for (qsizetype at = 0; at < response.body.size(); at += piece) {
            const QByteArray part = response.body.mid(at, piece);
            socket->write(QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n");
        }
        socket->write("0\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    case Response::Mode::truncated:
        socket->write(head + "Content-Length: " + QByteArray::number(response.body.size() * 2) + "\r\n\r\n");
        socket->write(response.body);
        socket->disconnectFromHost();
        return;
    case Response::Mode::trickle: {
        socket->write(head + "Content-Length: 1000000000\r\n\r\n");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(response.trickleIntervalMs);
        return;
    }
    case Response::Mode::silent:
        return;
    }
}
