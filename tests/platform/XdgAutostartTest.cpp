#include "platform/XdgAutostart.h"
#include "FileContents.h"
#include "SmallFileSystem.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QByteArray userEntry = "[Desktop Entry]\nType=Application\nName=My Sonorel\nExec=sonorel\n";
const QByteArray ours = XdgAutostart::entryFor(u"/usr/bin/sonorel"_s);
const QByteArray edited = ours + "X-GNOME-Autostart-Delay=10\n";
const QByteArray none = fileContents(QString());

void put(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

} // namespace

class XdgAutostartTest final : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    QString m_entry;

private Q_SLOTS:
    void init()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
        m_entry = XdgAutostart::entryPath();
        QDir(m_config.path()).removeRecursively();
        QDir().mkpath(m_config.path());
    }

    void applyTouchesOnlyOurEntry_data()
    {
        QTest::addColumn<QByteArray>("before"); // "link": a link to the user's entry
        QTest::addColumn<bool>("on");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QByteArray>("after"); // the entry's contents afterwards; "same": as before
        QTest::addColumn<bool>("usersOwn"); // afterwards, whether the user's own entry is there
        QTest::newRow("on, none yet") << none << true << true << ours << false;
        QTest::newRow("off, ours") << edited << false << true << none << false;
        QTest::newRow("off, user's own") << userEntry << false << true << QByteArray("same") << true;
        QTest::newRow("off, our key elsewhere") << userEntry + "[Desktop Action x]\nX-Sonorel-Autostart=true\n"
                                                << false << true << QByteArray("same") << true;
        QTest::newRow("off, our key false") << userEntry + "X-Sonorel-Autostart=false\n"
                                            << false << true << QByteArray("same") << true;
        // The user's own entry is never written over: turning on fails, and Settings says why.
        QTest::newRow("on, user's own") << userEntry << true << false << QByteArray("same") << true;
        QTest::newRow("on, a link") << QByteArray("link") << true << false << userEntry << true;
        // What a failed write of an earlier version left: nothing reads it, and turning on replaces it.
        QTest::newRow("on, empty") << QByteArray("") << true << true << ours << false;
    }

    void applyTouchesOnlyOurEntry()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, succeeds);
        QFETCH(QByteArray, after);
        const QString linked = m_config.filePath(u"elsewhere.desktop"_s);
        if (before == "link") {
            put(linked, userEntry);
            QVERIFY(QDir().mkpath(QFileInfo(m_entry).absolutePath()) && QFile::link(linked, m_entry));
        } else if (before != none) {
            put(m_entry, before);
        }
        QString error;
        QFETCH(bool, on);
        QCOMPARE(XdgAutostart::apply(m_entry, on, u"/usr/bin/sonorel"_s, &error), succeeds);
        QCOMPARE(error.isEmpty(), succeeds);
        QCOMPARE(fileContents(m_entry), after == "same" ? before : after);
        QCOMPARE(QFileInfo(m_entry).isSymLink(), before == "link");
        QCOMPARE(fileContents(linked), before == "link" ? userEntry : none); // never written through
        QFETCH(bool, usersOwn);
        QCOMPARE(XdgAutostart::usersOwnEntry(), usersOwn ? m_entry : QString());
        QVERIFY2(succeeds || !usersOwn || error.contains(u"user's own"_s), qPrintable(error));
    }

    // On a real full disk, the entry that was there keeps every byte and the failure is reported.
    void fullDiskKeepsTheOldEntry()
    {
        const QString folder = QFileInfo(m_entry).absolutePath();
        if (!SmallFileSystem::mount(folder, "8k"))
            QSKIP("a small file system can only be mounted by root");
        const auto unmount = qScopeGuard([&] { SmallFileSystem::unmount(folder); });
        put(m_entry, edited);
        QVERIFY(SmallFileSystem::fill(folder));
        QString error;
        QVERIFY(!XdgAutostart::apply(m_entry, true, u"/opt/sonorel/bin/sonorel"_s, &error));
        QVERIFY2(error.contains(u"No space left on device"_s), qPrintable(error));
        QCOMPARE(fileContents(m_entry), edited);
    }

    // Valid, and run by the desktop as a launcher would, from any folder name a program can live in.
    void entryStartsTheProgram()
    {
        const QString marker = m_config.filePath(u"started"_s);
        qputenv("SONOREL_TEST_MARKER", QFile::encodeName(marker));
        for (const QString &folder : { u"bin"_s, u"a \"b\" $c `d` \\e f&g;h"_s }) {
            const QString program = m_config.filePath(folder + u"/sonorel"_s);
            put(program, "#!/bin/sh\nprintf '%s' \"$0\" > \"$SONOREL_TEST_MARKER\"\n");
            QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            QVERIFY(XdgAutostart::apply(m_entry, true, program, nullptr));
            QProcess validate;
            validate.start(u"desktop-file-validate"_s, { m_entry });
            QVERIFY2(validate.waitForFinished(30000), "desktop-file-validate did not run (scripts/install-deps test)");
            QVERIFY2(validate.exitCode() == 0, validate.readAll().constData());
            QVERIFY(QProcess::execute(u"gio"_s, { u"launch"_s, m_entry }) == 0);
            QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(fileContents(marker)), program, 20000);
            QVERIFY(XdgAutostart::apply(m_entry, false, program, nullptr));
        }
        for (const char *unusable : { "\n", "%" })
            QCOMPARE(XdgAutostart::execValue(u"/bin/sonorel"_s + QLatin1String(unusable)), QString());
    }

    // In the configuration folder, touched only when the setting changes; a failure keeps the old value.
    void settingWritesTheEntryOnChange()
    {
        QCOMPARE(m_entry, m_config.path() + u"/autostart/sonorel.desktop"_s);
        AppSettings settings(m_config.filePath(u"sonorel.conf"_s));
        QString program = u"/usr/bin/sonorel"_s;
        settings.setStartAtLoginApplier([&](bool on) { return XdgAutostart::apply(m_entry, on, program, nullptr); });
        settings.setStartAtLogin(true);
        QCOMPARE(fileContents(m_entry), ours);
        put(m_entry, edited);
        settings.setStartAtLogin(true);
        QCOMPARE(fileContents(m_entry), edited);
        settings.setStartAtLogin(false);
        QVERIFY(!QFile::exists(m_entry));
        program = u"/bad\nname"_s;
        settings.setStartAtLogin(true);
        QCOMPARE(settings.startAtLogin(), false);
        QVERIFY(!QFile::exists(m_entry));
    }
};

QTEST_GUILESS_MAIN(XdgAutostartTest)
#include "XdgAutostartTest.moc"
