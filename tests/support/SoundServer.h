#pragma once

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

// The sound server of the test run (PULSE_SERVER, the CTest fixture's), or a private one of scripts/test-sound-server.
class SoundServer final
{
public:
    SoundServer() : m_address(qEnvironmentVariable("PULSE_SERVER")) { }
    ~SoundServer() { stop(); }

    // A private server, the default for new connections of this process; null when it did not start.
    static std::unique_ptr<SoundServer> startPrivate(bool withSink = true)
    {
        auto server = std::make_unique<SoundServer>();
        // A short path: the socket's name must fit a Unix socket address.
        server->m_dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/sonorel-snd-XXXXXX"));
        server->m_address = server->script(QStringLiteral("start"), withSink ? QString() : QStringLiteral("--no-sink"));
        if (server->m_address.isEmpty())
            return nullptr;
        qputenv("PULSE_SERVER", server->m_address.toUtf8());
        return server;
    }
    // Stops a private server: its clients see the connection go.
    void stop()
    {
        if (m_dir)
            script(QStringLiteral("stop"));
    }
    // Starts a private server again, at the same address and with its output device, as after a crash.
    bool restart() { return m_dir && script(QStringLiteral("start")) == m_address; }
    // The daemon's pid file, for a private server.
    QString pidFile() const { return m_dir ? m_dir->path() + QStringLiteral("/pulse/pid") : QString(); }

    // Runs pactl against this server: its standard output (never empty), or a null string on failure.
    QString pactl(const QString &args) const
    {
        auto process = start(QStringLiteral("pactl"), args.split(u' '));
        if (!process->waitForFinished(30000) || process->exitStatus() != QProcess::NormalExit || process->exitCode())
            return QString();
        return QString::fromUtf8(process->readAllStandardOutput()) + u' ';
    }
    // Plays `file` as a client of its own; `options` go to paplay (--client-name=NAME, -d SINK).
    std::unique_ptr<QProcess> play(const QString &file, const QStringList &options = {}) const
    {
        return start(QStringLiteral("paplay"), options + QStringList { file });
    }

    // The name of the source that each record stream takes audio from.
    QStringList recordingSources() const
    {
        QMap<QString, QString> names; // index -> name
        for (const QString &line : pactl(QStringLiteral("list short sources")).split(u'\n'))
            names.insert(line.section(u'\t', 0, 0), line.section(u'\t', 1, 1));
        QStringList out;
        for (const QString &line :
            pactl(QStringLiteral("list short source-outputs")).split(u'\n', Qt::SkipEmptyParts)) {
            if (line.contains(u'\t'))
                out << names.value(line.section(u'\t', 1, 1));
        }
        return out;
    }

private:
    std::unique_ptr<QProcess> start(const QString &program, const QStringList &args) const
    {
        auto process = std::make_unique<QProcess>();
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), m_address);
        process->setProcessEnvironment(env);
        process->start(program, args);
        process->waitForStarted();
        return process;
    }
    QString script(const QString &command, const QString &option = QString()) const
    {
        QProcess process;
        process.start(
            qEnvironmentVariable("SONOREL_SOUND_SERVER_SCRIPT"), QStringList { command, m_dir->path(), option });
        if (!process.waitForFinished(30000) || process.exitCode() != 0)
            return QString();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    QString m_address;
    std::unique_ptr<QTemporaryDir> m_dir;
};
