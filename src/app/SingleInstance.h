#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One Sonorel per user session. The first instance listens on a socket in the user's runtime folder; a
// later launch finds it there, asks it to show its overlay, and exits.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    static inline const QByteArray showOverlayMessage = QByteArrayLiteral("show-overlay\n");

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket's address: $XDG_RUNTIME_DIR/sonorel.socket, or a name keyed on the user id.
    static QString serverName();
    // Where the socket goes when something that is not a socket holds that address.
    static QString fallbackServerName();

    // True when another instance answered and took the request; this one should then exit.
    bool askRunningInstanceToShow(int timeoutMs = 1000);
    // Starts listening; false when the socket cannot be made (the application still runs, alone). A file or
    // folder of another program's at the address is left alone, and the fallback address used instead.
    bool listen();

Q_SIGNALS:
    void showOverlayRequested();

private:
    QLocalServer *m_server = nullptr;
};
