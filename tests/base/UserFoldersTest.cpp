#include "base/UserFolders.h"

#include <QDir>
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
    // A user-dirs.dirs value as xdg-user-dirs writes it ("$HOME/..." or an absolute path); anything else is
    // ignored.
    void userDirValue_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("value");
        QTest::newRow("under home") << QByteArray("# xdg-user-dirs\nXDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n")
                                    << u"/home/ada/Papers"_s;
        QTest::newRow("home itself") << QByteArray("XDG_DOCUMENTS_DIR=\"$HOME\"\n") << u"/home/ada"_s;
        QTest::newRow("absolute") << QByteArray("XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n") << u"/srv/docs"_s;
        QTest::newRow("unquoted") << QByteArray("XDG_DOCUMENTS_DIR=/srv/docs\n") << u"/srv/docs"_s;
        QTest::newRow("empty quotes") << QByteArray("XDG_DOCUMENTS_DIR=\"\"\n") << QString();
        QTest::newRow("relative") << QByteArray("XDG_DOCUMENTS_DIR=\"Papers\"\n") << QString();
        QTest::newRow("other key") << QByteArray("XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n") << QString();
        QTest::newRow("last wins") << QByteArray("XDG_DOCUMENTS_DIR=\"/a\"\nXDG_DOCUMENTS_DIR=\"/b\"\n") << u"/b"_s;
    }
    void userDirValue()
    {
        QFETCH(QByteArray, file);
        QTEST(UserFolders::userDirValue(file, "XDG_DOCUMENTS_DIR", u"/home/ada"_s), "value");
    }

    // Absolute, not the root, and in an existing folder of the root, so that making it makes no folder there.
    void isSound()
    {
        for (const char *path : { "/tmp/a/b", "/tmp" })
            QVERIFY2(UserFolders::isSound(QString::fromLatin1(path)), path);
        for (const char *path : { "/", "/no-such-folder-of-sonorel/Documents", "Documents" })
            QVERIFY2(!UserFolders::isSound(QString::fromLatin1(path)), path);
    }

    // A relative XDG_CONFIG_HOME is ignored (QSettings would take it from the current folder), an unset or
    // relative HOME is the account's home folder, and nothing is given that would make a folder at the root.
    void configHome_data()
    {
        QTest::addColumn<QByteArray>("home"); // "<unset>": no HOME
        QTest::addColumn<QByteArray>("configHome"); // "<unset>": no XDG_CONFIG_HOME
        QTest::addColumn<QString>("folder"); // "~": the test's home; "<passwd>": the account's home folder
        const QByteArray unset = "<unset>", home = qgetenv("HOME");
        QTest::newRow("standard") << home << unset << u"~/.config"_s;
        QTest::newRow("set") << home << home + "/elsewhere" << u"~/elsewhere"_s;
        QTest::newRow("relative") << home << QByteArray("config") << u"~/.config"_s;
        QTest::newRow("HOME unset") << unset << unset << u"<passwd>/.config"_s;
        QTest::newRow("HOME relative") << QByteArray("home") << QByteArray() << u"<passwd>/.config"_s;
        QTest::newRow("HOME the root") << QByteArray("/") << QByteArray(".") << QString();
    }
    void configHome()
    {
        QFETCH(QByteArray, home);
        QFETCH(QByteArray, configHome);
        QFETCH(QString, folder);
        const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", oldHome);
            qputenv("XDG_CONFIG_HOME", oldConfig);
        });
        folder.replace(u"~"_s, QFile::decodeName(oldHome))
            .replace(u"<passwd>"_s, QFile::decodeName(getpwuid(getuid())->pw_dir));
        if (folder.isEmpty() && QFileInfo::exists(u"/.config"_s))
            QSKIP("this machine has a /.config folder");
        home == "<unset>" ? qunsetenv("HOME") : qputenv("HOME", home);
        configHome == "<unset>" ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", configHome);
        QCOMPARE(UserFolders::configHome(), folder);
    }

    // Downloads follow the same rules as documents, from the same file.
    void downloadsFollowUserDirs()
    {
        QTemporaryDir config;
        const QByteArray old = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", old); });
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QFile dirs(config.filePath(u"user-dirs.dirs"_s));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_DOWNLOAD_DIR=\"/\"\nXDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
        dirs.close();
        QCOMPARE(UserFolders::downloads(), QDir::homePath() + u"/Downloads"_s);
        QCOMPARE(UserFolders::documents(), QDir::homePath() + u"/Papers"_s);
    }
};

QTEST_GUILESS_MAIN(UserFoldersTest)
#include "UserFoldersTest.moc"
