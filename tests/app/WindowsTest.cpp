#include "ShownNotice.h"
#include "app/AboutWindowManager.h"
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
    void windowReusedAndFrameRemembered_data();
    void windowReusedAndFrameRemembered();
    void linksOpenWithDesktopHandlers();
    void secondLaunchAsksFirstToShow_data();
    void secondLaunchAsksFirstToShow();
    void terminationSignalsArriveOnMainThread();
};

void WindowsTest::windowReusedAndFrameRemembered_data()
{
    // Their titles are read off the window manager by the smoke test.
    QTest::addColumn<bool>("about");
    QTest::addColumn<QString>("autosave");
    QTest::newRow("about") << true << QStringLiteral("AboutWindow");
    QTest::newRow("settings") << false << QStringLiteral("SettingsWindow");
}

void WindowsTest::windowReusedAndFrameRemembered()
{
    QFETCH(bool, about);
    QFETCH(QString, autosave);
    QTemporaryDir dir;
    AppSettings settings(dir.filePath(QStringLiteral("settings.conf")));
    QSettings store(dir.filePath(QStringLiteral("sonorel.conf")), QSettings::NativeFormat);
    // Both managers behind one pair of calls; a new pair on the same store is the next run.
    const auto run = [&]() -> std::pair<std::function<void()>, std::function<QWidget *()>> {
        if (about) {
            auto m = std::make_shared<AboutWindowManager>(&store);
            return { [m] { m->show(); }, [m] { return m->window(); } };
        }
        auto m = std::make_shared<SettingsWindowManager>(settings, &store);
        return { [m] { m->show(); }, [m] { return m->settingsWindow(); } };
    };
    QRect moved;
    {
        const auto [show, window] = run();
        QVERIFY(!window());
        show();
        QPointer<QWidget> first = window();
        QVERIFY(first && first->isVisible());
        QVERIFY(!first->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QCOMPARE(first->minimumSize(), first->maximumSize()); // not resizable
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(first->geometry(), QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, first->size(), screen));
        // Closing only hides; the same window comes back where it was left.
        first->move(first->pos() + QPoint(-50, 40));
        moved = first->geometry();
        QVERIFY(first->close());
        QVERIFY(first && !first->isVisible() && store.contains(autosave));
        show();
        QVERIFY(window() == first.data() && first->isVisible());
        QCOMPARE(first->geometry(), moved);
        first->close();
    }
    // The saved frame wins over centring in the next run.
    const auto [show, window] = run();
    show();
    QCOMPARE(window()->geometry(), moved);
}

void WindowsTest::linksOpenWithDesktopHandlers()
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    BundleInfo::setInfoDictionary({ { BundleInfo::shortVersionKey, QStringLiteral("2.0") } });
    MakerLinks::sendFeedback();
    MakerLinks::followOnX();
    MakerLinks::followOnYouTube();
    BundleInfo::resetInfoDictionary();
    QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(recorder.opened.size(), 3);
    QCOMPARE(
        recorder.opened.at(0), QStringLiteral("mailto:feedback@sonorel.app?subject=Feedback%20for%20Sonorel%202.0"));
    QCOMPARE(recorder.opened.at(1), QUrl(MakerLinks::xProfileAddress).toString(QUrl::FullyEncoded));
    QVERIFY(recorder.opened.at(2).endsWith(QLatin1String("?sub_confirmation=1")));

    // Where no handler takes them, a notice gives the address to copy.
    MakerLinks::sendFeedback();
    const QString feedback = takeShownNotice();
    QVERIFY2(
        feedback.contains(MakerLinks::feedbackAddress + u'\n') && feedback.contains(QStringLiteral("“Feedback for")),
        qPrintable(feedback));
    MakerLinks::followOnX();
    const QString x = takeShownNotice();
    QVERIFY2(x.endsWith(u'\n' + MakerLinks::xProfileAddress), qPrintable(x));
}

void WindowsTest::secondLaunchAsksFirstToShow_data()
{
    QTest::addColumn<bool>("folderInTheWay");
    // A socket file left behind by an instance that died (bound, never unlinked) does not stop the first.
    QTest::newRow("stale socket") << false;
    // Another program's folder at the address is left alone, and the two launches still find each other.
    QTest::newRow("folder in the way") << true;
}

void WindowsTest::secondLaunchAsksFirstToShow()
{
    QFETCH(bool, folderInTheWay);
    const QString name = SingleInstance::serverName();
    const QByteArray path = QFile::encodeName(name);
    if (folderInTheWay) {
        QVERIFY(QDir().mkpath(name + QStringLiteral("/theirs")));
    } else {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
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
        QVERIFY(answered.load());
    }
    QCOMPARE(QFileInfo::exists(name + QStringLiteral("/theirs")), folderInTheWay);
    QDir(name).removeRecursively();
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
