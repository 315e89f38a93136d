#include "AboutWindowManager.h"
#include "AppSettings.h"
#include "BundleInfo.h"
#include "MakerLinks.h"
#include "SettingsWindowManager.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QLocalServer>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

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
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened << url; }
};

class WindowsTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void windowReusedAcrossShows_data();
    void windowReusedAcrossShows();
    void savedFrameWinsOverCentring_data();
    void savedFrameWinsOverCentring();
    void feedbackUrl_data();
    void feedbackUrl();
    void linksOpenWithDesktopHandlers();
    void secondLaunchAsksFirstToShow();
    void staleSocketIsReplaced();
    void terminationSignalsArriveOnMainThread_data();
    void terminationSignalsArriveOnMainThread();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_store;
    std::unique_ptr<AppSettings> m_settings;
};

namespace {

// Both managers behind one interface, so that each case runs for both windows.
struct AnyManager {
    std::function<void()> show;
    std::function<QWidget *()> window;
    std::shared_ptr<void> owner;
};

AnyManager makeManager(const QString &which, AppSettings &settings, QSettings *store)
{
    if (which == QLatin1String("about")) {
        auto m = std::make_shared<AboutWindowManager>(store);
        return { [m] { m->show(); }, [m] { return m->window(); }, m };
    }
    auto m = std::make_shared<SettingsWindowManager>(settings, store);
    return { [m] { m->show(); }, [m] { return m->settingsWindow(); }, m };
}

} // namespace

void WindowsTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<QSettings>(m_dir->filePath(QStringLiteral("sonorel.conf")), QSettings::NativeFormat);
    m_settings = std::make_unique<AppSettings>(m_dir->filePath(QStringLiteral("settings.conf")));
}

void WindowsTest::cleanup()
{
    BundleInfo::resetInfoDictionary();
}

void WindowsTest::windowReusedAcrossShows_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("autosave");
    QTest::newRow("about") << QStringLiteral("about") << QStringLiteral("About Sonorel")
                           << QStringLiteral("AboutWindow");
    QTest::newRow("settings") << QStringLiteral("settings") << QStringLiteral("Live Captions Settings")
                              << QStringLiteral("SettingsWindow");
}

void WindowsTest::windowReusedAcrossShows()
{
    QFETCH(QString, which);
    QFETCH(QString, title);
    QFETCH(QString, autosave);
    AnyManager manager = makeManager(which, *m_settings, m_store.get());
    QVERIFY(!manager.window());
    manager.show();
    QPointer<QWidget> first = manager.window();
    QVERIFY(first && first->isVisible());
    QCOMPARE(first->windowTitle(), title);
    QVERIFY(first->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!first->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QCOMPARE(first->minimumSize(), first->maximumSize()); // not resizable

    manager.show();
    QCOMPARE(manager.window(), first.data());

    // Closing only hides; the same window comes back where it was.
    first->move(first->x() + 37, first->y() + 21);
    const QRect before = first->geometry();
    QVERIFY(first->close());
    QVERIFY(first);
    QVERIFY(!first->isVisible());
    QVERIFY(m_store->contains(autosave));
    manager.show();
    QCOMPARE(manager.window(), first.data());
    QVERIFY(first->isVisible());
    QCOMPARE(first->geometry(), before);
}

void WindowsTest::savedFrameWinsOverCentring_data()
{
    windowReusedAcrossShows_data();
}

void WindowsTest::savedFrameWinsOverCentring()
{
    QFETCH(QString, which);
    QRect centred;
    QRect moved;
    {
        AnyManager earlier = makeManager(which, *m_settings, m_store.get());
        earlier.show();
        centred = earlier.window()->geometry();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(centred, QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, centred.size(), screen));
        earlier.window()->move(centred.topLeft() + QPoint(-50, 40));
        moved = earlier.window()->geometry();
        earlier.window()->close();
    }
    // The next run: a new manager on the same file.
    AnyManager later = makeManager(which, *m_settings, m_store.get());
    later.show();
    QCOMPARE(later.window()->geometry(), moved);
}

void WindowsTest::feedbackUrl_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("subject");
    QTest::newRow("2.0") << QStringLiteral("2.0")
                         << QStringLiteral("mailto:feedback@sonorel.app?subject=Feedback%20for%20Sonorel%202.0")
                         << QStringLiteral("Feedback for Sonorel 2.0");
    QTest::newRow("missing") << QStringLiteral("-")
                             << QStringLiteral("mailto:feedback@sonorel.app?subject=Feedback%20for%20Sonorel%20-")
                             << QStringLiteral("Feedback for Sonorel -");
}

void WindowsTest::feedbackUrl()
{
    QFETCH(QString, version);
    QFETCH(QString, url);
    QFETCH(QString, subject);
    QCOMPARE(MakerLinks::feedbackSubject(version), subject);
    QCOMPARE(MakerLinks::feedbackUrl(version).toString(QUrl::FullyEncoded), url);
}

void WindowsTest::linksOpenWithDesktopHandlers()
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");

    BundleInfo::setInfoDictionary({ { BundleInfo::shortVersionKey, QStringLiteral("2.0") } });
    MakerLinks::sendFeedback();
    BundleInfo::setInfoDictionary({});
    MakerLinks::sendFeedback();
    MakerLinks::followOnX();
    MakerLinks::followOnYouTube();

    QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(recorder.opened.size(), 4);
    QCOMPARE(recorder.opened.at(0).toString(QUrl::FullyEncoded),
        QStringLiteral("mailto:feedback@sonorel.app?subject=Feedback%20for%20Sonorel%202.0"));
    QVERIFY(recorder.opened.at(1).toString(QUrl::FullyEncoded).endsWith(QLatin1String("Sonorel%20-")));
    QCOMPARE(recorder.opened.at(2), QUrl(MakerLinks::xProfileAddress));
    QCOMPARE(recorder.opened.at(3).query(), QStringLiteral("sub_confirmation=1"));
}

void WindowsTest::secondLaunchAsksFirstToShow()
{
    SingleInstance first;
    QVERIFY(!first.askRunningInstanceToShow(200)); // nobody there yet
    QVERIFY(first.listen());
    QSignalSpy requests(&first, &SingleInstance::showOverlayRequested);

    // The second launch runs in its own thread here, as it would in its own process.
    std::atomic<bool> answered { false };
    std::unique_ptr<QThread> second(QThread::create([&] {
        SingleInstance other;
        answered = other.askRunningInstanceToShow(5000);
    }));
    second->start();
    QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 1, 10000);
    QTRY_VERIFY(second->isFinished());
    QVERIFY(answered.load());
}

void WindowsTest::staleSocketIsReplaced()
{
    // A socket file left behind by an instance that died: bound, never unlinked.
    const QByteArray path = QFile::encodeName(SingleInstance::serverName());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFile::exists(SingleInstance::serverName()));
    SingleInstance fresh;
    QVERIFY(fresh.listen());
}

void WindowsTest::terminationSignalsArriveOnMainThread_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void WindowsTest::terminationSignalsArriveOnMainThread()
{
    QFETCH(int, number);
    TerminationSignals signals;
    QVERIFY(signals.isInstalled());
    QSignalSpy spy(&signals, &TerminationSignals::terminationRequested);
    QThread *receivedOn = nullptr;
    connect(&signals, &TerminationSignals::terminationRequested, this, [&] { receivedOn = QThread::currentThread(); });
    ::raise(number);
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.first().first().toInt(), number);
    QCOMPARE(receivedOn, QThread::currentThread());
}

QTEST_MAIN(WindowsTest)
#include "WindowsTest.moc"
