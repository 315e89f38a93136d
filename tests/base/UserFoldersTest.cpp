#include "base/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

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
                                    << QStringLiteral("/home/ada/Papers");
        QTest::newRow("home itself") << QByteArray("XDG_DOCUMENTS_DIR=\"$HOME\"\n") << QStringLiteral("/home/ada");
        QTest::newRow("absolute") << QByteArray("XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n") << QStringLiteral("/srv/docs");
        QTest::newRow("unquoted") << QByteArray("XDG_DOCUMENTS_DIR=/srv/docs\n") << QStringLiteral("/srv/docs");
        QTest::newRow("the root") << QByteArray("XDG_DOCUMENTS_DIR=\"/\"\n") << QStringLiteral("/");
        QTest::newRow("empty quotes") << QByteArray("XDG_DOCUMENTS_DIR=\"\"\n") << QString();
        QTest::newRow("relative") << QByteArray("XDG_DOCUMENTS_DIR=\"Papers\"\n") << QString();
        QTest::newRow("other key") << QByteArray("XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n") << QString();
        QTest::newRow("commented") << QByteArray("#XDG_DOCUMENTS_DIR=\"/srv/docs\"\n") << QString();
        QTest::newRow("last wins") << QByteArray("XDG_DOCUMENTS_DIR=\"/a\"\nXDG_DOCUMENTS_DIR=\"/b\"\n")
                                   << QStringLiteral("/b");
    }
    void userDirValue()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, value);
        QCOMPARE(UserFolders::userDirValue(file, "XDG_DOCUMENTS_DIR", QStringLiteral("/home/ada")), value);
    }

    void isSound_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("sound");
        QTest::newRow("in an existing folder of the root") << QStringLiteral("/tmp/a/b") << true;
        QTest::newRow("an existing folder of the root") << QStringLiteral("/tmp") << true;
        QTest::newRow("the root") << QStringLiteral("/") << false;
        QTest::newRow("the root, twice") << QStringLiteral("//") << false;
        QTest::newRow("a new folder at the root") << QStringLiteral("/no-such-folder-of-sonorel/Documents") << false;
        QTest::newRow("relative") << QStringLiteral("Documents") << false;
        QTest::newRow("empty") << QString() << false;
    }
    void isSound()
    {
        QFETCH(QString, path);
        QFETCH(bool, sound);
        QCOMPARE(UserFolders::isSound(path), sound);
    }

    // Downloads follow the same rules as documents, from the same file.
    void downloadsFollowUserDirs()
    {
        QTemporaryDir config;
        const QByteArray old = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", old); });
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QFile dirs(config.filePath(QStringLiteral("user-dirs.dirs")));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_DOWNLOAD_DIR=\"/\"\nXDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
        dirs.close();
        QCOMPARE(UserFolders::downloads(), QDir::homePath() + QStringLiteral("/Downloads"));
        QCOMPARE(UserFolders::documents(), QDir::homePath() + QStringLiteral("/Papers"));
    }
};

QTEST_GUILESS_MAIN(UserFoldersTest)
#include "UserFoldersTest.moc"
