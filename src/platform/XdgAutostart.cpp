#include "platform/XdgAutostart.h"

#include "base/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

QString XdgAutostart::entryPath(const QString &id)
{
    // GenericConfigLocation is $XDG_CONFIG_HOME, or ~/.config when that is unset.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/") + id
        + QStringLiteral(".desktop");
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

bool XdgAutostart::apply(const QString &path, bool startAtLogin, const QString &program, QString *error)
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    const QFileInfo info(path);
    if (!startAtLogin) {
        // Only a regular file of ours goes: a folder, a device or a FIFO at that name is not read at all.
        if (!info.isFile())
            return true;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(file.errorString());
        // A real entry is a few hundred bytes; reading more of a huge file tells nothing more.
        if (!isOurs(file.read(64 * 1024)))
            return true;
        file.close();
        return file.remove() ? true : fail(file.errorString());
    }
    if (info.exists() && !info.isFile() && !info.isSymLink())
        return fail(QStringLiteral("%1 is not a file").arg(path));
    const QString exec = execValue(program);
    if (exec.isEmpty())
        return fail(QStringLiteral("a desktop entry cannot start %1").arg(program));
    if (!QDir().mkpath(info.absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(info.absolutePath()));
    // QSaveFile would write through a link (to the system's desktop entry, say): the link goes instead.
    if (info.isSymLink() && !QFile::remove(path))
        return fail(QStringLiteral("cannot replace the link %1").arg(path));
    // Written whole or not at all.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.write(entryFor(program));
    return file.commit() ? true : fail(file.errorString());
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
