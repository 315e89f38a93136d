#include "platform/XdgAutostart.h"

#include "base/Log.h"
#include "base/SafeSave.h"
#include "base/UserFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

QString XdgAutostart::entryPath(const QString &id)
{
    const QString config = UserFolders::configHome();
    return config.isEmpty() ? QString() : config + QStringLiteral("/autostart/") + id + QStringLiteral(".desktop");
}

QString XdgAutostart::execValue(const QString &program)
{
    // A percent sign would have to be written "%%", and GLib's launcher then looks for a program with "%%"
    // in its name: GNOME would never start it.
    if (program.isEmpty() || program.contains(QLatin1Char('\n')) || program.contains(QLatin1Char('\r'))
        || program.contains(QLatin1Char('%')))
        return {};
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._+,:@-]+$"));
    if (plain.match(program).hasMatch())
        return program;
    // Inside quotes `"`, `` ` ``, `$` and `\` take a backslash; the value as a whole is a string, whose own
    // escaping doubles every backslash once more.
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('\\'))
            quoted += QStringLiteral("\\\\\\\\");
        else if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QStringLiteral("\\\\") + c;
        else
            quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray XdgAutostart::entryFor(const QString &program)
{
    const QString onPath = QStandardPaths::findExecutable(QFileInfo(program).fileName());
    const bool found
        = !onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() == QFileInfo(program).canonicalFilePath();
    const QString exec = execValue(found ? QFileInfo(program).fileName() : program);
    return QByteArrayLiteral("[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Sonorel\n"
                             "Comment=Live captions of whatever the computer is playing\n"
                             "Exec=")
        + exec.toUtf8()
        + QByteArrayLiteral("\n"
                            "Icon=sonorel\n"
                            "Terminal=false\n"
                            "X-GNOME-Autostart-enabled=true\n")
        + ownerKey + QByteArrayLiteral("=true\n");
}

bool XdgAutostart::isOurs(const QByteArray &contents)
{
    bool inMainGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == QByteArrayLiteral("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals > 0 && line.left(equals).trimmed() == ownerKey)
            return line.mid(equals + 1).trimmed() == QByteArrayLiteral("true");
    }
    return false;
}

XdgAutostart::Occupant XdgAutostart::occupant(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return Occupant::UsersEntry;
    if (!info.exists())
        return Occupant::Nothing;
    // A folder, a device or a FIFO at that name is not read at all.
    if (!info.isFile())
        return Occupant::NotAFile;
    if (info.size() == 0)
        return Occupant::Nothing;
    QFile file(path);
    // A real entry is a few hundred bytes; reading more of a huge file tells nothing more. One that cannot be
    // read is not known to be ours.
    if (!file.open(QIODevice::ReadOnly))
        return Occupant::UsersEntry;
    return isOurs(file.read(64 * 1024)) ? Occupant::Ours : Occupant::UsersEntry;
}

QString XdgAutostart::usersOwnEntry()
{
    const QString path = entryPath();
    return !path.isEmpty() && occupant(path) == Occupant::UsersEntry ? path : QString();
}

bool XdgAutostart::apply(const QString &path, bool startAtLogin, const QString &program, QString *error)
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (path.isEmpty())
        return fail(QStringLiteral("no configuration folder: neither XDG_CONFIG_HOME nor HOME names a usable one"));
    const Occupant there = occupant(path);
    if (!startAtLogin) {
        if (there != Occupant::Ours)
            return true;
        QFile file(path);
        return file.remove() ? true : fail(file.errorString());
    }
    if (there == Occupant::UsersEntry)
        return fail(QStringLiteral("%1 is the user's own entry, left as it is").arg(path));
    if (there == Occupant::NotAFile)
        return fail(QStringLiteral("%1 is not a file").arg(path));
    const QString exec = execValue(program);
    if (exec.isEmpty())
        return fail(QStringLiteral("a desktop entry cannot start %1").arg(program));
    const QFileInfo info(path);
    if (!UserFolders::isSound(info.absolutePath()) || !QDir().mkpath(info.absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(info.absolutePath()));
    if (const auto failure = SafeSave::write(path, entryFor(program)))
        return fail(failure->reason);
    return true;
}

bool XdgAutostart::applyForThisProgram(bool startAtLogin)
{
    const QString path = entryPath();
    QString error;
    if (apply(path, startAtLogin, QCoreApplication::applicationFilePath(), &error)) {
        SLOG_INFO(lcApp, "Start at login %{public}s: %{public}s", startAtLogin ? "on" : "off", path);
        return true;
    }
    SLOG_ERROR(lcApp, "Failed to turn start at login %{public}s in %{public}s: %{public}s", startAtLogin ? "on" : "off",
        path, error);
    return false;
}
