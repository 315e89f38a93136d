#pragma once

#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

// A small HTTP/1.1 server on 127.0.0.1 for tests: each path answers as configured, including answers that
// stall or trickle so that client time-outs can be exercised. Unknown paths answer 404. Every answer sets a
// cookie, so that a client that kept cookies would be seen sending one back.
class LocalHttpServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalHttpServer)

public:
    enum class Mode {
        complete, // status, Content-Length and body, then the connection closes
        chunked, // the body in chunked transfer encoding, without a length
        silent, // accepts the request and never answers
        trickle, // headers, then one byte of body every 50 ms, without end
        truncated, // announces twice the body's length, sends the body and closes the connection
    };
    struct Response {
        int status = 200;
        QByteArray body;
        Mode mode = Mode::complete;
    };

    explicit LocalHttpServer(QObject *parent = nullptr);

    QUrl url(const QString &path) const;
    void setResponse(const QString &path, Response response) { m_responses.insert(path, response); }
    // How many requests reached `path`, and the last request's head (request line and headers).
    int requestCount(const QString &path) const { return m_requestCounts.value(path); }
    QByteArray lastRequestHead() const { return m_lastRequestHead; }

    // A local address on which nothing listens.
    static QUrl refusingUrl(const QString &path);

private:
    void answer(QTcpSocket *socket, const Response &response);

    QTcpServer m_server;
    QHash<QString, Response> m_responses;
    QHash<QString, int> m_requestCounts;
    QByteArray m_lastRequestHead;
};
