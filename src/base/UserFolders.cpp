#include "base/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {

QString absoluteOrEmpty(const QString &path)
{
    return QDir::isAbsolutePath(path) ? QDir::cleanPath(path) : QString();
}

} // namespace

QString UserFolders::home()
{
    if (const QString home = absoluteOrEmpty(qEnvironmentVariable("HOME")); !home.isEmpty())
        return home;
    std::vector<char> buffer(16384);
    passwd entry {};
    passwd *found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return {};
    return absoluteOrEmpty(QFile::decodeName(found->pw_dir));
}

bool UserFolders::isSound(const QString &path)
{
    if (!QDir::isAbsolutePath(path))
        return false;
    const QString clean = QDir::cleanPath(path);
    if (clean == QStringLiteral("/"))
        return false;
    const QString top = clean.section(u'/', 0, 1);
    return QFileInfo(top).isDir();
}

QString UserFolders::configHome()
{
    if (const QString set = absoluteOrEmpty(qEnvironmentVariable("XDG_CONFIG_HOME")); isSound(set))
        return set;
    const QString home = UserFolders::home();
    const QString fallback = home.isEmpty() ? QString() : home + QStringLiteral("/.config");
    return isSound(fallback) ? QDir::cleanPath(fallback) : QString();
}

QString UserFolders::userDirValue(const QByteArray &userDirsFile, const QByteArray &key, const QString &home)
{
    QString value;
    for (const QByteArray &rawLine : userDirsFile.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith(key + '='))
            continue;
        QByteArray raw = line.mid(key.size() + 1).trimmed();
        if (raw.size() >= 2 && raw.startsWith('"') && raw.endsWith('"'))
            raw = raw.mid(1, raw.size() - 2);
        value = QFile::decodeName(raw); // the last line for a key wins, as when the shell reads the file
        if (value == QStringLiteral("$HOME") || value.startsWith(QStringLiteral("$HOME/")))
            value = home.isEmpty() ? QString() : home + value.mid(5);
    }
    return absoluteOrEmpty(value);
}

QString UserFolders::userDir(const QByteArray &key, const QString &fallbackName)
{
    const QString home = UserFolders::home();
    if (const QString config = configHome(); !config.isEmpty()) {
        QFile file(config + QStringLiteral("/user-dirs.dirs"));
        // Only a regular file is read: a FIFO there would wait for a writer. A real one is a few hundred bytes.
        if (QFileInfo(file).isFile() && file.open(QIODevice::ReadOnly)) {
            const QString set = userDirValue(file.read(64 * 1024), key, home);
            if (isSound(set))
                return set;
        }
    }
    const QString fallback = home.isEmpty() ? QString() : home + u'/' + fallbackName;
    return isSound(fallback) ? QDir::cleanPath(fallback) : QString();
}

QString UserFolders::documents()
{
    return userDir("XDG_DOCUMENTS_DIR", QStringLiteral("Documents"));
}

QString UserFolders::downloads()
{
    return userDir("XDG_DOWNLOAD_DIR", QStringLiteral("Downloads"));
}
