#include "platform/XdgAutostart.h"
#include "FileContents.h"
#include "SmallFileSystem.h"
#include "WriteFile.h"
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

    // Turning on or off, from what is at the entry's name (`before`, "link": a link to the user's entry elsewhere),
    // leaves `after` there ("same": as it was) and, or not, the user's own entry.
    void applyTouchesOnlyOurEntry()
    {
        const QString linked = m_config.filePath(u"elsewhere.desktop"_s);
        const auto row = [&](const QByteArray &before, bool on, bool succeeds, const QByteArray &after, bool usersOwn) {
            init();
            if (before == "link") {
                QVERIFY(writeFile(linked, userEntry));
                QVERIFY(QDir().mkpath(QFileInfo(m_entry).absolutePath()) && QFile::link(linked, m_entry));
            } else if (before != none) {
                QVERIFY(writeFile(m_entry, before));
            }
            QString error;
            const bool succeeded = XdgAutostart::apply(m_entry, on, u"/usr/bin/sonorel"_s, &error);
            QVERIFY2(succeeded == succeeds && error.isEmpty() == succeeds, before.constData());
            QVERIFY2(fileContents(m_entry) == (after == "same" ? before : after), before.constData());
            QVERIFY2(QFileInfo(m_entry).isSymLink() == (before == "link"), before.constData());
            QVERIFY2(fileContents(linked) == (before == "link" ? userEntry : none), "written through the link");
            QVERIFY2(XdgAutostart::usersOwnEntry() == (usersOwn ? m_entry : QString()), before.constData());
            QVERIFY2(succeeds || !usersOwn || error.contains(u"user's own"_s), qPrintable(error));
        };
        row(none, true, true, ours, false);
        row(edited, false, true, none, false);
        row(userEntry, false, true, "same", true);
        row(userEntry + "[Desktop Action x]\nX-Sonorel-Autostart=true\n", false, true, "same", true);
        row(userEntry + "X-Sonorel-Autostart=false\n", false, true, "same", true);
        // The user's own entry is never written over: turning on fails, and Settings says why.
        row(userEntry, true, false, "same", true);
        row("link", true, false, userEntry, true);
        // What a failed write of an earlier version left: nothing reads it, and turning on replaces it.
        row("", true, true, ours, false);
    }

    // On a real full disk, the entry that was there keeps every byte and the failure is reported.
    void fullDiskKeepsTheOldEntry()
    {
        const QString folder = QFileInfo(m_entry).absolutePath();
        if (!SmallFileSystem::mount(folder, "8k"))
            QSKIP("a small file system can only be mounted by root");
        const auto unmount = qScopeGuard([&] { SmallFileSystem::unmount(folder); });
        QVERIFY(writeFile(m_entry, edited));
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
            QVERIFY(writeFile(program, "#!/bin/sh\nprintf '%s' \"$0\" > \"$SONOREL_TEST_MARKER\"\n"));
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
        QVERIFY(writeFile(m_entry, edited));
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
