#include "platform/FileManagerReveal.h"
#include "WriteFile.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString service = u"org.freedesktop.FileManager1"_s;
const QString path = u"/org/freedesktop/FileManager1"_s;

// The desktop's file manager: records what it is asked to show.
class FakeFileManager final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &) { shown.append(uris); }
};

} // namespace

class FileManagerRevealTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // With no file manager on the bus the folder opens; with one, it shows the file and nothing else opens.
    void reveal()
    {
        // A private session bus with no activatable services, so that no real file manager can answer.
        QTemporaryDir dir;
        const QString config = dir.filePath(u"bus.conf"_s);
        QVERIFY(writeFile(config,
            "<busconfig><type>session</type><listen>unix:tmpdir=" + QFile::encodeName(dir.path())
                + "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
                  "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>"));
        QProcess bus;
        bus.start(u"dbus-daemon"_s, { u"--config-file="_s + config, u"--nofork"_s, u"--print-address"_s });
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 10000);
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QList<QUrl> opened;
        const QString image = dir.filePath(u"My App-1.3.dmg"_s);
        FileManagerReveal reveal([&opened](const QUrl &folder) { opened.append(folder); });
        reveal.reveal(image);
        QTRY_COMPARE_WITH_TIMEOUT(opened, QList<QUrl> { QUrl::fromLocalFile(dir.path()) }, 10000);

        // The fake lives on a connection of its own, as a separate process would.
        QDBusConnection fakeBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake"_s);
        FakeFileManager fake;
        QVERIFY(fakeBus.registerObject(path, &fake, QDBusConnection::ExportAllSlots));
        QVERIFY2(fakeBus.registerService(service), qPrintable(fakeBus.lastError().message()));
        opened.clear();
        reveal.reveal(image);
        QTRY_COMPARE_WITH_TIMEOUT(fake.shown.size(), 1, 10000);
        QCOMPARE(fake.shown.first(), QStringList { u"file://"_s + dir.path() + u"/My%20App-1.3.dmg"_s });
        // The bus delivers in order: once this answer is back, so is the one to ShowItems.
        QDBusPendingCall ping = QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(service, path, u"org.freedesktop.DBus.Peer"_s, u"Ping"_s));
        QTRY_VERIFY_WITH_TIMEOUT(ping.isFinished() && !ping.isError(), 10000);
        QCoreApplication::processEvents();
        QVERIFY(opened.isEmpty());
        bus.terminate();
        bus.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(FileManagerRevealTest)
#include "FileManagerRevealTest.moc"
