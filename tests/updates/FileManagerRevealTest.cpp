#include "platform/FileManagerReveal.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString service = u"org.freedesktop.FileManager1"_s;
const QString path = u"/org/freedesktop/FileManager1"_s;

// The desktop's file manager on a private bus: records what it is asked to show, or refuses.
class FakeFileManager final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;
    bool refuse = false;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &)
    {
        if (refuse)
            sendErrorReply(QDBusError::AccessDenied, u"not now"_s);
        else
            shown.append(uris);
    }
    void Ping() { }
};

} // namespace

class FileManagerRevealTest final : public QObject
{
    Q_OBJECT

    QProcess m_bus;
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        // A private session bus with no activatable services, so that no real file manager can answer.
        QFile config(m_dir.filePath(u"bus.conf"_s));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("<busconfig><type>session</type><listen>unix:tmpdir=" + QFile::encodeName(m_dir.path())
            + "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
              "eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
              "</busconfig>");
        config.close();
        m_bus.start(u"dbus-daemon"_s, { u"--config-file="_s + config.fileName(), u"--nofork"_s, u"--print-address"_s });
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 10000);
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        QVERIFY(QDBusConnection::sessionBus().isConnected());
    }

    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished();
    }

    void reveal_data()
    {
        QTest::addColumn<int>("fileManager"); // 0 none, 1 shows the file, 2 refuses
        QTest::newRow("no file manager: the folder opens") << 0;
        QTest::newRow("the file manager shows the file") << 1;
        QTest::newRow("the file manager refuses: the folder opens") << 2;
    }

    void reveal()
    {
        QFETCH(int, fileManager);
        // The fake lives on a connection of its own, as a separate process would.
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake"_s);
        FakeFileManager fake;
        fake.refuse = fileManager == 2;
        if (fileManager != 0)
            QVERIFY(bus.registerObject(path, &fake, QDBusConnection::ExportAllSlots) && bus.registerService(service));
        QList<QUrl> opened;
        const QString image = m_dir.filePath(u"My App-1.3.dmg"_s);

        FileManagerReveal([&opened](const QUrl &folder) { opened.append(folder); }).reveal(image);

        if (fileManager == 1) {
            QTRY_COMPARE_WITH_TIMEOUT(fake.shown.size(), 1, 10000);
            QCOMPARE(fake.shown.first(), QStringList { u"file://"_s + m_dir.path() + u"/My%20App-1.3.dmg"_s });
            // The bus delivers in order: once this answer is back, so is the one to ShowItems.
            QDBusPendingCall ping = QDBusConnection::sessionBus().asyncCall(
                QDBusMessage::createMethodCall(service, path, service, u"Ping"_s));
            QTRY_VERIFY_WITH_TIMEOUT(ping.isFinished() && !ping.isError(), 10000);
            QCoreApplication::processEvents();
            QVERIFY(opened.isEmpty());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(opened, QList<QUrl> { QUrl::fromLocalFile(m_dir.path()) }, 10000);
        }
        bus.unregisterService(service);
        bus.unregisterObject(path);
        QDBusConnection::disconnectFromBus(u"fake"_s);
    }
};

QTEST_GUILESS_MAIN(FileManagerRevealTest)
#include "FileManagerRevealTest.moc"
