#include "platform/XdgAutostart.h"
#include "SmallFileSystem.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray userEntry = "[Desktop Entry]\nType=Application\nName=My Sonorel\nExec=sonorel\n";
constexpr char malformed[] = "\0\xff[Desktop Entry\nX-Sonorel-Autostart";
const QByteArray ours = XdgAutostart::entryFor(QStringLiteral("/usr/bin/sonorel"));

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

void put(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QString validate(const QString &path)
{
    QProcess check;
    check.start(QStringLiteral("desktop-file-validate"), { path });
    if (!check.waitForFinished(30000))
        return QStringLiteral("desktop-file-validate did not run (scripts/install-deps test installs it)");
    return check.exitCode() == 0 ? QString() : QString::fromUtf8(check.readAll());
}

} // namespace

class XdgAutostartTest final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;
    QString m_entry;

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
        m_entry = XdgAutostart::entryPath();
        QDir(m_config.path()).removeRecursively();
        QDir().mkpath(m_config.path());
    }

    // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say: the entry never lands under
    // the folder Sonorel was started in.
    void entryFollowsTheConfigHome()
    {
        QCOMPARE(m_entry, m_config.path() + QStringLiteral("/autostart/sonorel.desktop"));
        const QString standard = QDir::homePath() + QStringLiteral("/.config/autostart/sonorel.desktop");
        for (const char *value : { "", "config", "./config", "~/.config" }) {
            qputenv("XDG_CONFIG_HOME", value);
            QCOMPARE(XdgAutostart::entryPath(), standard);
        }
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(XdgAutostart::entryPath(), standard);
        // Nowhere sound: no entry, and turning it on fails instead of making a folder at the root.
        const QByteArray home = qgetenv("HOME");
        const auto restore = qScopeGuard([&] { qputenv("HOME", home); });
        if (QFileInfo::exists(QStringLiteral("/.config")))
            QSKIP("this machine has a /.config folder");
        qputenv("HOME", "/");
        QCOMPARE(XdgAutostart::entryPath(), QString());
        QString error;
        QVERIFY(!XdgAutostart::applyForThisProgram(true));
        QVERIFY(!XdgAutostart::apply(XdgAutostart::entryPath(), true, QStringLiteral("/usr/bin/sonorel"), &error));
        QVERIFY2(error.startsWith(QStringLiteral("no configuration folder")), qPrintable(error));
        QVERIFY(!QFileInfo::exists(QStringLiteral("/.config")));
    }

    void applyTouchesOnlyOurEntry_data()
    {
        QTest::addColumn<QByteArray>("before"); // "dir": a folder; "link": a link to the user's entry
        QTest::addColumn<bool>("on");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QByteArray>("after"); // "ours": our entry; "same": as before
        QTest::addColumn<bool>("usersOwn"); // afterwards, whether the user's own entry is there
        const QByteArray none = "<absent>";
        const QByteArray same = "same";
        QTest::newRow("on, none yet") << none << true << true << QByteArray("ours") << false;
        QTest::newRow("off, none") << none << false << true << none << false;
        QTest::newRow("off, ours") << ours << false << true << none << false;
        QTest::newRow("off, ours edited") << ours + "X-GNOME-Autostart-Delay=10\n" << false << true << none << false;
        QTest::newRow("off, user's own") << userEntry << false << true << same << true;
        QTest::newRow("off, our key elsewhere") << userEntry + "[Desktop Action x]\nX-Sonorel-Autostart=true\n"
                                                << false << true << same << true;
        QTest::newRow("off, our key false") << userEntry + "X-Sonorel-Autostart=false\n"
                                            << false << true << same << true;
        QTest::newRow("off, malformed") << QByteArray(malformed, sizeof malformed - 1) << false << true << same << true;
        // The user's own entry is never written over: turning on fails, and Settings says why.
        QTest::newRow("on, user's own") << userEntry << true << false << same << true;
        QTest::newRow("on, malformed") << QByteArray("[Desktop Entry]\n\xff\xfe=\n=\n") << true << false << same
                                       << true;
        QTest::newRow("on, a folder") << QByteArray("dir") << true << false << same << false;
        QTest::newRow("off, a folder") << QByteArray("dir") << false << true << same << false;
        QTest::newRow("on, a link") << QByteArray("link") << true << false << same << true;
        QTest::newRow("off, a link") << QByteArray("link") << false << true << same << true;
        // What a failed write of an earlier version left: nothing reads it, and turning on replaces it.
        QTest::newRow("on, empty") << QByteArray() << true << true << QByteArray("ours") << false;
        QTest::newRow("off, empty") << QByteArray() << false << true << same << false;
    }

    void applyTouchesOnlyOurEntry()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, on);
        QFETCH(bool, succeeds);
        QFETCH(QByteArray, after);
        QFETCH(bool, usersOwn);
        const QString linked = m_config.filePath(QStringLiteral("elsewhere.desktop"));
        if (before == "dir") {
            QVERIFY(QDir().mkpath(m_entry));
        } else if (before == "link") {
            put(linked, userEntry);
            QVERIFY(QDir().mkpath(QFileInfo(m_entry).absolutePath()));
            QVERIFY(QFile::link(linked, m_entry));
        } else if (before != "<absent>") {
            put(m_entry, before);
        }
        QString error;
        QCOMPARE(XdgAutostart::apply(m_entry, on, QStringLiteral("/usr/bin/sonorel"), &error), succeeds);
        QCOMPARE(error.isEmpty(), succeeds);
        if (after == "ours") {
            QVERIFY(!QFileInfo(m_entry).isSymLink());
            QCOMPARE(contents(m_entry), ours);
            QVERIFY(XdgAutostart::isOurs(ours));
            const QString problems = validate(m_entry);
            QVERIFY2(problems.isEmpty(), qPrintable(problems));
        } else if (after == "same") {
            QCOMPARE(QFileInfo(m_entry).isDir(), before == "dir");
            QCOMPARE(QFileInfo(m_entry).isSymLink(), before == "link");
            if (before != "dir")
                QCOMPARE(contents(m_entry), before == "link" ? userEntry : before);
        } else {
            QCOMPARE(contents(m_entry), after);
        }
        if (before == "link") // never written through
            QCOMPARE(contents(linked), userEntry);
        QCOMPARE(XdgAutostart::usersOwnEntry(), usersOwn ? m_entry : QString());
        if (!succeeds && usersOwn)
            QCOMPARE(error, m_entry + QStringLiteral(" is the user's own entry, left as it is"));
    }

    // On a real full disk, the entry that was there keeps every byte, the failure is reported, and the setting
    // keeps its old value instead of claiming an entry that is not there.
    void fullDiskKeepsTheOldEntry()
    {
        const QString folder = QFileInfo(m_entry).absolutePath();
        if (!SmallFileSystem::mount(folder, "8k"))
            QSKIP("a small file system can only be mounted by root");
        const auto unmount = qScopeGuard([&] { SmallFileSystem::unmount(folder); });
        const QByteArray edited = ours + "X-GNOME-Autostart-Delay=10\n";
        put(m_entry, edited);
        QVERIFY(SmallFileSystem::fill(folder));
        QString error;
        QVERIFY(!XdgAutostart::apply(m_entry, true, QStringLiteral("/opt/sonorel/bin/sonorel"), &error));
        QVERIFY2(error.contains(QStringLiteral("No space left on device")), qPrintable(error));
        QCOMPARE(contents(m_entry), edited);

        QVERIFY(QFile::remove(m_entry));
        QVERIFY(SmallFileSystem::fill(folder));
        AppSettings settings(m_config.filePath(QStringLiteral("sonorel.conf")));
        settings.setStartAtLoginApplier(
            [&](bool on) { return XdgAutostart::apply(m_entry, on, QStringLiteral("/usr/bin/sonorel"), nullptr); });
        settings.setStartAtLogin(true);
        QCOMPARE(settings.startAtLogin(), false);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("filler") });
    }

    // Run by the desktop as a launcher would, from any folder name a program can live in.
    void entryStartsTheProgram_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << QStringLiteral("bin");
        QTest::newRow("space") << QStringLiteral("my programs");
        QTest::newRow("reserved") << QStringLiteral("a \"b\" $c `d` \\e f&g;h");
    }

    void entryStartsTheProgram()
    {
        QFETCH(QString, folder);
        const QString marker = m_config.filePath(QStringLiteral("started"));
        const QString program = m_config.filePath(folder + QStringLiteral("/sonorel"));
        put(program, "#!/bin/sh\nprintf '%s' \"$0\" > \"$SONOREL_TEST_MARKER\"\n");
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(XdgAutostart::apply(m_entry, true, program, nullptr));
        const QString problems = validate(m_entry);
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
        qputenv("SONOREL_TEST_MARKER", QFile::encodeName(marker));
        QVERIFY(QProcess::execute(QStringLiteral("gio"), { QStringLiteral("launch"), m_entry }) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(contents(marker)), program, 20000);
        for (const char *unusable : { "\n", "%" })
            QCOMPARE(XdgAutostart::execValue(program + QLatin1String(unusable)), QString());
    }

    // The file is touched only when the setting changes; a failure keeps the old value.
    void settingWritesTheEntryOnChange()
    {
        AppSettings settings(m_config.filePath(QStringLiteral("sonorel.conf")));
        QString program = QStringLiteral("/usr/bin/sonorel");
        settings.setStartAtLoginApplier([&](bool on) { return XdgAutostart::apply(m_entry, on, program, nullptr); });
        QCOMPARE(settings.startAtLogin(), false);
        settings.setStartAtLogin(false);
        QVERIFY(!QFile::exists(m_entry));
        settings.setStartAtLogin(true);
        QVERIFY(XdgAutostart::isOurs(contents(m_entry)));
        put(m_entry, ours + "X-GNOME-Autostart-Delay=10\n");
        settings.setStartAtLogin(true);
        QCOMPARE(contents(m_entry), ours + "X-GNOME-Autostart-Delay=10\n");
        settings.setStartAtLogin(false);
        QVERIFY(!QFile::exists(m_entry));
        program = QStringLiteral("/bad\nname");
        settings.setStartAtLogin(true);
        QCOMPARE(settings.startAtLogin(), false);
        QVERIFY(!QFile::exists(m_entry));
    }
};

QTEST_GUILESS_MAIN(XdgAutostartTest)
#include "XdgAutostartTest.moc"
