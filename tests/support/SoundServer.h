#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <memory>

// The sound server of the test run (PULSE_SERVER, started by the CTest fixture), or a private one a
// test starts for itself with scripts/test-sound-server (to kill it, or to leave it without sinks).
class SoundServer final
{
public:
    // The shared server of the test run.
    SoundServer() : m_address(qEnvironmentVariable("PULSE_SERVER")) { }

    // A private server; `withSink` false starts it with no output device at all.
    static std::unique_ptr<SoundServer> startPrivate(bool withSink = true)
    {
        auto server = std::unique_ptr<SoundServer>(new SoundServer(QString()));
        // Short path: the socket's name must fit a Unix socket address.
        server->m_dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/sonorel-snd-XXXXXX"));
        QStringList args { QStringLiteral("start"), server->m_dir->path() };
        if (!withSink)
            args << QStringLiteral("--no-sink");
        QProcess script;
        script.start(scriptPath(), args);
        if (!script.waitForFinished(30000) || script.exitCode() != 0)
            return nullptr;
        server->m_address = QString::fromUtf8(script.readAllStandardOutput()).trimmed();
        return server;
    }

    ~SoundServer()
    {
        if (m_dir)
            stop();
    }
    SoundServer(const SoundServer &) = delete;
    SoundServer &operator=(const SoundServer &) = delete;

    // Stops a private server: its clients see the connection go.
    void stop()
    {
        QProcess script;
        script.start(scriptPath(), { QStringLiteral("stop"), m_dir->path() });
        script.waitForFinished(30000);
    }

    QString address() const { return m_address; }
    bool isValid() const { return !m_address.isEmpty(); }
    // Makes new connections of this process go to this server.
    void makeCurrent() const { qputenv("PULSE_SERVER", m_address.toUtf8()); }

    // Runs pactl (or paplay, ...) against this server; returns standard output, or a null string on
    // failure.
    QString run(const QString &program, const QStringList &args) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, args);
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return QString();
        return QString::fromUtf8(process.readAllStandardOutput()) + QStringLiteral(" ");
    }
    QString pactl(const QStringList &args) const { return run(QStringLiteral("pactl"), args); }

    // A player process (paplay) playing `file` into the default sink; the caller waits for it.
    std::unique_ptr<QProcess> play(const QString &file) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment());
        process->start(QStringLiteral("paplay"), { file });
        process->waitForStarted();
        return process;
    }

    // Plays `files` one after the other, over and over, until the returned object is destroyed.
    class Loop final
    {
    public:
        Loop(const SoundServer &server, QStringList files) : m_server(server), m_files(std::move(files)) { next(); }
        ~Loop()
        {
            m_stopped = true;
            *m_alive = false;
            if (m_player) {
                m_player->kill();
                m_player->waitForFinished(5000);
            }
        }
        Loop(const Loop &) = delete;
        Loop &operator=(const Loop &) = delete;
        int played() const { return m_played; }

    private:
        void next()
        {
            if (m_stopped)
                return;
            m_player = m_server.play(m_files.at(m_played++ % m_files.size()));
            QObject::connect(m_player.get(), &QProcess::finished, m_player.get(), [this] {
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [this, alive = m_alive] {
                        if (*alive)
                            next();
                    },
                    Qt::QueuedConnection);
            });
        }
        const SoundServer &m_server;
        QStringList m_files;
        std::unique_ptr<QProcess> m_player;
        int m_played = 0;
        bool m_stopped = false;
        std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    };

    // Name of the source each record stream (source output) takes audio from.
    QStringList recordingSources() const
    {
        QMap<QString, QString> sourceNames;
        const QStringList sources
            = pactl({ QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources") })
                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : sources) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            if (fields.size() > 1)
                sourceNames.insert(fields[0].trimmed(), fields[1].trimmed());
        }
        QStringList out;
        const QStringList outputs
            = pactl({ QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs") })
                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : outputs) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            if (fields.size() > 1)
                out << sourceNames.value(fields[1].trimmed(), fields[1].trimmed());
        }
        return out;
    }

    static QString scriptPath() { return qEnvironmentVariable("SONOREL_SOUND_SERVER_SCRIPT"); }

private:
    explicit SoundServer(QString address) : m_address(std::move(address)) { }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), m_address);
        return env;
    }

    QString m_address;
    std::unique_ptr<QTemporaryDir> m_dir;
};
