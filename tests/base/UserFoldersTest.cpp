#include "base/UserFolders.h"
#include "WriteFile.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class UserFoldersTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A user-dirs.dirs value as xdg-user-dirs writes it ("$HOME/..." or an absolute path); anything else ignored.
    void userDirValueAndIsSound()
    {
        const std::pair<const char *, QString> rows[] = {
            { "# xdg-user-dirs\nXDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n", u"/home/ada/Papers"_s },
            { "XDG_DOCUMENTS_DIR=\"$HOME\"\n", u"/home/ada"_s },
            { "XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n", u"/srv/docs"_s },
            { "XDG_DOCUMENTS_DIR=/srv/docs\n", u"/srv/docs"_s }, { "XDG_DOCUMENTS_DIR=\"\"\n", QString() },
            { "XDG_DOCUMENTS_DIR=\"Papers\"\n", QString() }, { "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", QString() },
            { "XDG_DOCUMENTS_DIR=\"/a\"\nXDG_DOCUMENTS_DIR=\"/b\"\n", u"/b"_s }, // the last wins
        };
        for (const auto &[file, value] : rows)
            QCOMPARE(UserFolders::userDirValue(file, "XDG_DOCUMENTS_DIR", u"/home/ada"_s), value);
        // A sound folder is absolute, not the root, and in an existing folder of the root: making it makes no
        // folder there.
        for (const char *path : { "/tmp/a/b", "/tmp" })
            QVERIFY2(UserFolders::isSound(QString::fromLatin1(path)), path);
        for (const char *path : { "/", "/no-such-folder-of-sonorel/Documents", "Documents" })
            QVERIFY2(!UserFolders::isSound(QString::fromLatin1(path)), path);
    }

    // A relative XDG_CONFIG_HOME is ignored, an unset or relative HOME is the account's home, nothing would make a
    // folder at the root. Downloads and documents come from user-dirs.dirs there, with the same rules.
    void configHomeAndUserDirs()
    {
        const QByteArray home = qgetenv("HOME"), unset = "<unset>";
        const auto restore = qScopeGuard([&, config = qgetenv("XDG_CONFIG_HOME")] {
            qputenv("HOME", home);
            qputenv("XDG_CONFIG_HOME", config);
        });
        const QString account = QFile::decodeName(getpwuid(getuid())->pw_dir), ours = QFile::decodeName(home);
        const struct {
            QByteArray home, configHome;
            QString folder;
        } rows[] = {
            { home, unset, ours + u"/.config"_s },
            { home, home + "/elsewhere", ours + u"/elsewhere"_s },
            { home, "config", ours + u"/.config"_s },
            { unset, unset, account + u"/.config"_s },
            { "home", "", account + u"/.config"_s },
            { "/", ".", QString() },
        };
        for (const auto &row : rows) {
            if (row.folder.isEmpty() && QFileInfo::exists(u"/.config"_s))
                continue; // this machine has a /.config folder
            row.home == unset ? qunsetenv("HOME") : qputenv("HOME", row.home);
            row.configHome == unset ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", row.configHome);
            QVERIFY2(UserFolders::configHome() == row.folder, row.configHome.constData());
        }
        QTemporaryDir config;
        qputenv("HOME", home);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QVERIFY(writeFile(
            config.filePath(u"user-dirs.dirs"_s), "XDG_DOWNLOAD_DIR=\"/\"\nXDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n"));
        QCOMPARE(UserFolders::downloads(), ours + u"/Downloads"_s);
        QCOMPARE(UserFolders::documents(), ours + u"/Papers"_s);
    }
};

QTEST_GUILESS_MAIN(UserFoldersTest)
#include "UserFoldersTest.moc"
