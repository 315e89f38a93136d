#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <utility>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for tests: each path answers as configured, including answers
// that stall or trickle so that client time-outs can be exercised. Unknown paths answer 404.
class LocalHttpServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalHttpServer)

public:
    struct Response {
        enum class Mode {
            complete, // status, headers and body, then the connection closes
            chunked, // the body in chunked transfer encoding, without a length
            silent, // accepts the request and never answers
            trickle, // headers, then one byte of body every trickleIntervalMs, without end
            truncated, // announces twice the body's length, sends the body and closes the connection
        };
        int status = 200;
        QByteArray body;
        Mode mode = Mode::complete;
        QList<std::pair<QByteArray, QByteArray>> headers;
        int trickleIntervalMs = 50;
    };

    explicit LocalHttpServer(QObject *parent = nullptr);

    QUrl url(const QString &path) const;
    void setResponse(const QString &path, Response response);
    // How many requests reached `path`, and the last request's head (request line and headers).
    int requestCount(const QString &path) const { return m_requestCounts.value(path); }
    QByteArray lastRequestHead() const { return m_lastRequestHead; }

    // A local address on which nothing listens.
    static QUrl refusingUrl(const QString &path);

private:
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QString &path);

    QTcpServer m_server;
    QHash<QString, Response> m_responses;
    QHash<QString, int> m_requestCounts;
    QByteArray m_lastRequestHead;
};
