#include "app/MakerLinks.h"
#include "app/SettingsWindowManager.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"
#include "base/BundleInfo.h"
#include "settings/AppSettings.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Stands in for the desktop's mail client and browser.
class UrlRecorder final : public QObject
{
    Q_OBJECT
public:
    QStringList opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened << url.toString(QUrl::FullyEncoded); }
};

class WindowsTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowReusedAndFrameRemembered();
    void linksOpenWithDesktopHandlers();
    void secondLaunchAsksFirstToShow();
    void terminationSignalsArriveOnMainThread();
};

// The settings window stands for the about window too: both are the same managed window, opened by the
// smoke test through the menu, where their titles are read off the window manager.
void WindowsTest::windowReusedAndFrameRemembered()
{
    QTemporaryDir dir;
    AppSettings settings(dir.filePath(u"settings.conf"_s));
    QSettings store(dir.filePath(u"sonorel.conf"_s), QSettings::NativeFormat);
    QRect moved;
    {
        SettingsWindowManager manager(settings, &store);
        QVERIFY(!manager.settingsWindow());
        manager.show();
        QPointer<QWidget> first = manager.settingsWindow();
        QVERIFY(first && first->isVisible());
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(first->geometry(), QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, first->size(), screen));
        // Closing only hides; the same window comes back where it was left.
        first->move(first->pos() + QPoint(-50, 40));
        moved = first->geometry();
        QVERIFY(first->close());
        QVERIFY(first && !first->isVisible() && store.contains(u"SettingsWindow"_s));
        manager.show();
        QVERIFY(manager.settingsWindow() == first.data() && first->isVisible());
        QCOMPARE(first->geometry(), moved);
        first->close();
    }
    // The saved frame wins over centring in the next run.
    SettingsWindowManager next(settings, &store);
    next.show();
    QCOMPARE(next.settingsWindow()->geometry(), moved);
}

void WindowsTest::linksOpenWithDesktopHandlers()
{
    UrlRecorder recorder;
    for (const QString &scheme : { u"mailto"_s, u"https"_s })
        QDesktopServices::setUrlHandler(scheme, &recorder, "open");
    BundleInfo::setInfoDictionary({ { BundleInfo::shortVersionKey, u"2.0"_s } });
    MakerLinks::sendFeedback();
    MakerLinks::followOnX();
    MakerLinks::followOnYouTube();
    BundleInfo::resetInfoDictionary();
    for (const QString &scheme : { u"mailto"_s, u"https"_s })
        QDesktopServices::unsetUrlHandler(scheme);
    QCOMPARE(recorder.opened,
        QStringList({ u"mailto:feedback@sonorel.app?subject=Feedback%20for%20Sonorel%202.0"_s,
            MakerLinks::xProfileAddress, MakerLinks::videoChannelAddress }));
}

// A socket file left behind by an instance that died (bound, never unlinked) does not stop the first;
// another program's folder at the address is left alone, and the two launches still find each other.
void WindowsTest::secondLaunchAsksFirstToShow()
{
    const QString name = SingleInstance::serverName();
    for (const bool folderInTheWay : { false, true }) {
        if (folderInTheWay) {
            QVERIFY(QDir().mkpath(name + u"/theirs"_s));
        } else {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof(address.sun_path) - 1);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
            ::close(fd);
        }
        {
            SingleInstance first;
            QVERIFY(!first.askRunningInstanceToShow(200)); // nobody answers there
            QVERIFY(first.listen());
            QSignalSpy requests(&first, &SingleInstance::showOverlayRequested);
            // The second launch runs in its own thread here, as it would in its own process.
            std::atomic<bool> answered { false };
            std::unique_ptr<QThread> second(
                QThread::create([&] { answered = SingleInstance().askRunningInstanceToShow(5000); }));
            second->start();
            QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 1, 10000);
            QTRY_VERIFY(second->isFinished());
            QVERIFY2(answered.load(), folderInTheWay ? "folder in the way" : "stale socket");
        }
        QCOMPARE(QFileInfo::exists(name + u"/theirs"_s), folderInTheWay);
        QDir(name).removeRecursively();
    }
}

void WindowsTest::terminationSignalsArriveOnMainThread()
{
    ::signal(SIGHUP, SIG_DFL); // a run under nohup would otherwise keep hang-ups ignored, as it should
    TerminationSignals signals;
    QVERIFY(signals.isInstalled());
    QThread *receivedOn = nullptr;
    int received = 0;
    connect(&signals, &TerminationSignals::terminationRequested, this, [&](int number) {
        received = number;
        receivedOn = QThread::currentThread();
    });
    for (int number : { SIGTERM, SIGINT, SIGHUP }) {
        ::raise(number);
        QTRY_COMPARE_WITH_TIMEOUT(received, number, 10000);
        QCOMPARE(receivedOn, QThread::currentThread());
    }
}

QTEST_MAIN(WindowsTest)
#include "WindowsTest.moc"
