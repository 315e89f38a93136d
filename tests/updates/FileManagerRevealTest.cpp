#include "FileManagerReveal.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString serviceName = u"org.freedesktop.FileManager1"_s;

// Stands in for the desktop's file manager on the private bus: records what it was asked to show, or
// refuses when `refuse` is set.
class FakeFileManager final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;
    bool refuse = false;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        Q_UNUSED(startupId)
        if (refuse) {
            sendErrorReply(QDBusError::AccessDenied, u"not now"_s);
            return;
        }
        shown.append(uris);
    }
    QString Ping() { return u"pong"_s; }
};

} // namespace

class FileManagerRevealTest final : public QObject
{
    Q_OBJECT

    QProcess m_bus;
    QTemporaryDir m_dir;
    QList<QUrl> m_openedFolders;

    FileManagerReveal reveal()
    {
        return FileManagerReveal([this](const QUrl &folder) { m_openedFolders.append(folder); });
    }

    QString imagePath() const { return m_dir.filePath(u"My App-1.3.dmg"_s); }

private Q_SLOTS:
    void initTestCase()
    {
        // A private session bus with no activatable services, so that no real file manager can answer.
        const QString config = m_dir.filePath(u"bus.conf"_s);
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<busconfig><type>session</type><listen>unix:tmpdir=" + QFile::encodeName(m_dir.path())
            + "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
              "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
              "</policy></busconfig>");
        file.close();
        m_bus.start(u"dbus-daemon"_s, { u"--config-file="_s + config, u"--nofork"_s, u"--print-address"_s });
        QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is not installed");
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 10000);
        const QByteArray address = m_bus.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QVERIFY2(QDBusConnection::sessionBus().isConnected(),
            qPrintable(QString::fromUtf8(address) + u" "_s + QDBusConnection::sessionBus().lastError().message()));
    }

    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished();
    }

    void init() { m_openedFolders.clear(); }

    void opensTheFolderWhenNoFileManagerRuns()
    {
        reveal().reveal(imagePath());
        QTRY_COMPARE_WITH_TIMEOUT(m_openedFolders.size(), 1, 10000);
        QCOMPARE(m_openedFolders.first(), QUrl::fromLocalFile(m_dir.path()));
    }

    void asksTheFileManager_data()
    {
        QTest::addColumn<bool>("refuse");
        QTest::newRow("file manager shows the file") << false;
        QTest::newRow("file manager refuses") << true;
    }

    void asksTheFileManager()
    {
        QFETCH(bool, refuse);
        // The fake lives on a connection of its own, as a separate process would.
        QDBusConnection fakeBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake-file-manager"_s);
        FakeFileManager fake;
        fake.refuse = refuse;
        QVERIFY(fakeBus.registerObject(u"/org/freedesktop/FileManager1"_s, &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(fakeBus.registerService(serviceName));

        reveal().reveal(imagePath());

        if (refuse) {
            QTRY_COMPARE_WITH_TIMEOUT(m_openedFolders.size(), 1, 10000);
            QCOMPARE(m_openedFolders.first(), QUrl::fromLocalFile(m_dir.path()));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(fake.shown.size(), 1, 10000);
            QCOMPARE(fake.shown.first(), QStringList { QUrl::fromLocalFile(imagePath()).toString(QUrl::FullyEncoded) });
            QVERIFY(fake.shown.first().first().endsWith(u"/My%20App-1.3.dmg"_s));
            // The bus delivers in order: once this answer is back, so is the answer to ShowItems.
            QDBusPendingCall ping = QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
                serviceName, u"/org/freedesktop/FileManager1"_s, serviceName, u"Ping"_s));
            QTRY_VERIFY_WITH_TIMEOUT(ping.isFinished(), 10000);
            QVERIFY(!ping.isError());
            QCoreApplication::processEvents();
            QVERIFY(m_openedFolders.isEmpty());
        }
        fakeBus.unregisterService(serviceName);
        fakeBus.unregisterObject(u"/org/freedesktop/FileManager1"_s);
        QDBusConnection::disconnectFromBus(u"fake-file-manager"_s);
    }
};

QTEST_GUILESS_MAIN(FileManagerRevealTest)
#include "FileManagerRevealTest.moc"
