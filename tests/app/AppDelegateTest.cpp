#include "app/AppDelegate.h"
#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "LogCapture.h"
#include "app/ControlPanel.h"
#include "app/OverlayPanel.h"
#include "base/BundleInfo.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

namespace {

const QStringList frameKeys { AppDelegate::keyX, AppDelegate::keyY, AppDelegate::keyW, AppDelegate::keyH };

// One application run: a delegate on a settings file that outlives it, so that a test can "restart".
struct Run {
    std::shared_ptr<FakeAudioCaptureService> capture = std::make_shared<FakeAudioCaptureService>();
    std::shared_ptr<FakeSpeechEngine> engine = std::make_shared<FakeSpeechEngine>();
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<AppDelegate> delegate;

    explicit Run(const QString &file, bool launched = true) : settings(std::make_unique<AppSettings>(file))
    {
        engine->setLocale(QStringLiteral("en-US"));
        delegate = std::make_unique<AppDelegate>(
            *settings, std::make_unique<QSettings>(file, QSettings::NativeFormat), [this] {
                return CaptioningServices { std::make_shared<FakePermissionService>(), capture, engine };
            });
        if (launched)
            delegate->applicationDidFinishLaunching();
    }
    bool ready() const
    {
        return delegate->overlayWindow() && delegate->overlayWindow()->isVisible();
    } // the overlay comes later
    OverlayPanel &overlay() const { return *delegate->overlayWindow(); }
    ControlPanel &control() const { return *delegate->controlPanel(); }
};

void sendMouse(QWidget *target, QEvent::Type type, const QPoint &local, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, QPointF(local), QPointF(local), target->mapToGlobal(QPointF(local)),
        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class AppDelegateTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void overlayFrameFromStore_data();
    void overlayFrameFromStore();
    void restartKeepsFrameAndForgetsClickThrough();
    void commandsBeforeOverlayOnlyLog();
    void hideAndShowTakeControlPanelAlong();
    void placementOnScreens_data();
    void placementOnScreens();
    void controlPanelPlacement_data();
    void controlPanelPlacement();
    void followTimerDuringMoves();
    void dragByBackgroundAndResizeAtEdge();
    void captionsRunningFollowsController();
    void quitKeepsTheSentenceUnderWay();
    void shadowInTheMargin();

private:
    QStringList appLines() const { return m_log->lines().replaceInStrings(QStringLiteral("App: "), QString()); }
    double stored(const QString &key) const { return QSettings(m_file, QSettings::NativeFormat).value(key).toDouble(); }
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_file;
    std::optional<LogCapture> m_log;
};

void AppDelegateTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_file = m_dir->filePath(QStringLiteral("sonorel.conf"));
    m_log.emplace();
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.App.debug=true"));
}

void AppDelegateTest::cleanup()
{
    m_log.reset();
    BundleInfo::resetInfoDictionary();
    QLoggingCategory::setFilterRules(QString());
}

void AppDelegateTest::overlayFrameFromStore_data()
{
    QTest::addColumn<QVariantList>("keys"); // x, y, w, h; an invalid entry is a key that is absent
    QTest::addColumn<QRect>("frame");
    const QVariant none;
    QTest::newRow("empty store") << QVariantList { none, none, none, none } << QRect(200, 200, 600, 220);
    QTest::newRow("only width") << QVariantList { none, none, 500.0, none } << QRect(200, 200, 500, 220);
    // Partly off the screen: shown wholly on it, and the stored frame kept for a screen that holds it.
    QTest::newRow("partly off the screen") << QVariantList { 700.0, 100.0, none, none } << QRect(200, 100, 600, 220);
    QTest::newRow("only origin") << QVariantList { 10.0, 20.0, none, none } << QRect(10, 20, 600, 220);
    QTest::newRow("all four") << QVariantList { 50.0, 60.0, 700.0, 300.0 } << QRect(50, 60, 700, 300);
    // A window nobody could reach comes back to the default place, and one larger than the screens (a
    // memory hog for the window system) is made to fit them: the test's one screen (a null frame here).
    QTest::newRow("off every screen") << QVariantList { -5000.0, 9000.0, none, none } << QRect(200, 200, 600, 220);
    QTest::newRow("beyond X's coordinates")
        << QVariantList { -100000.0, 10.0, none, none } << QRect(200, 200, 600, 220);
    QTest::newRow("larger than the screens") << QVariantList { 10.0, 20.0, 70000.0, 70000.0 } << QRect();
    // A hand-damaged value is ignored rather than making a window of nothing.
    QTest::newRow("not a number") << QVariantList { none, none, QStringLiteral("wide"), 260.0 }
                                  << QRect(200, 200, 600, 260);
}

void AppDelegateTest::overlayFrameFromStore()
{
    QFETCH(QVariantList, keys);
    QFETCH(QRect, frame);
    if (frame.isNull())
        frame = QGuiApplication::primaryScreen()->geometry();
    {
        QSettings store(m_file, QSettings::NativeFormat);
        for (int i = 0; i < 4; ++i) {
            if (keys[i].isValid())
                store.setValue(frameKeys[i], keys[i]);
        }
    }
    BundleInfo::setInfoDictionary({ { BundleInfo::versionKey, QStringLiteral("77") } });
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    QCOMPARE(run.overlay().geometry(), frame);
    const QStringList lines = appLines();
    QCOMPARE(lines.mid(0, 2),
        (QStringList {
            QStringLiteral("Application did finish launching build 77"), QStringLiteral("Creating overlay window") }));
    QVERIFY(lines.contains(
        QStringLiteral("Overlay window ready size %1.000000x%2.000000").arg(frame.width()).arg(frame.height())));
    // Launching writes nothing by itself, and a frame shown elsewhere to fit stays stored as it was.
    QSettings store(m_file, QSettings::NativeFormat);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(store.contains(frameKeys[i]), keys[i].isValid());
    if (keys[0].isValid() && keys[0].toDouble() != frame.x()) {
        run.delegate->applicationWillTerminate();
        QCOMPARE(QSettings(m_file, QSettings::NativeFormat).value(AppDelegate::keyX), keys[0]);
    }
}

void AppDelegateTest::placementOnScreens_data()
{
    QTest::addColumn<QList<QRect>>("screens"); // the first is the primary
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<QRect>("placed");
    // A 1920x1080 primary screen with a 1280x720 one to its right, tops aligned.
    const QList<QRect> two { QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 720) };
    QTest::newRow("on the second screen") << two << QRect(2000, 100, 600, 220) << QRect(2000, 100, 600, 220);
    QTest::newRow("partly below the second") << two << QRect(2000, 600, 600, 220) << QRect(2000, 500, 600, 220);
    QTest::newRow("48 square showing") << two << QRect(-552, 1032, 600, 220) << QRect(0, 860, 600, 220);
    QTest::newRow("below the shorter screen") << two << QRect(2000, 800, 600, 220) << QRect(200, 200, 600, 220);
    QTest::newRow("mostly on the primary") << two << QRect(100, 100, 3000, 220) << QRect(0, 100, 1920, 220);
    QTest::newRow("taller than both, off them") << two << QRect(100, 5000, 600, 5000) << QRect(200, 0, 600, 1080);
    QTest::newRow("below the minimum") << two << QRect(100, 100, 10, 10) << QRect(100, 100, 320, 120);
    // Saved on 1920x1080, restored on 1024x768: moved, not shrunk, since it fits.
    const QList<QRect> small { QRect(0, 0, 1024, 768) };
    QTest::newRow("smaller screen") << small << QRect(637, 485, 880, 315) << QRect(144, 453, 880, 315);
    QTest::newRow("wider than the screen") << small << QRect(637, 485, 1500, 315) << QRect(0, 453, 1024, 315);
    QTest::newRow("screen below the minimum")
        << QList<QRect> { QRect(0, 0, 300, 100) } << QRect(50, 50, 600, 220) << QRect(0, 0, 320, 120);
}

void AppDelegateTest::placementOnScreens()
{
    QFETCH(QList<QRect>, screens);
    QFETCH(QRect, stored);
    QFETCH(QRect, placed);
    const auto placement = AppDelegate::placeOnScreens(stored, screens, screens.first(), QSize(320, 120));
    QCOMPARE(placement.frame, placed);
    QCOMPARE(placement.resized, placed.size() != stored.size());
    QCOMPARE(placement.moved, placed.topLeft() != stored.topLeft());
}

void AppDelegateTest::restartKeepsFrameAndForgetsClickThrough()
{
    {
        Run run(m_file);
        QTRY_VERIFY(run.ready());
        QVERIFY(!run.delegate->clickThroughEnabled() && !run.overlay().isClickThrough());
        for (bool expected : { true, false }) {
            run.delegate->toggleClickThrough();
            QCOMPARE(run.delegate->clickThroughEnabled(), expected);
            QCOMPARE(run.overlay().windowFlags().testFlag(Qt::WindowTransparentForInput), expected);
            QVERIFY(run.overlay().isVisible()); // re-shown after the flag change, where it was
            QCOMPARE(run.overlay().geometry(), QRect(200, 200, 600, 220));
            // The control panel never ignores the mouse.
            QVERIFY(!run.control().windowFlags().testFlag(Qt::WindowTransparentForInput));
            QCOMPARE(appLines().last(),
                QStringLiteral("Toggle click through new state ") + QLatin1String(expected ? "true" : "false"));
        }
        run.delegate->toggleClickThrough();
        // Every move is written, not only the last one of a drag; the size at the latest at termination.
        run.overlay().move(100, 110);
        QTRY_COMPARE(stored(AppDelegate::keyX), 100.0);
        QCOMPARE(stored(AppDelegate::keyY), 110.0);
        QVERIFY(appLines().contains(QStringLiteral("Persisting frame origin 100.000000,110.000000 size "
                                                   "600.000000x220.000000")));
        run.overlay().move(120, 130);
        QTRY_COMPARE(stored(AppDelegate::keyX), 120.0);
        run.overlay().resize(640, 240);
        run.delegate->applicationWillTerminate();
        QCOMPARE(stored(AppDelegate::keyW), 640.0);
        QCOMPARE(stored(AppDelegate::keyH), 240.0);
        QVERIFY(appLines().contains(QStringLiteral("Application will terminate")));
    }
    Run next(m_file);
    QTRY_VERIFY(next.ready());
    QCOMPARE(next.overlay().geometry(), QRect(120, 130, 640, 240));
    QVERIFY(!next.delegate->clickThroughEnabled() && !next.overlay().isClickThrough());
}

void AppDelegateTest::commandsBeforeOverlayOnlyLog()
{
    Run run(m_file, false);
    run.delegate->startCaptions();
    run.delegate->stopCaptions();
    run.delegate->toggleOverlayVisibility();
    QVERIFY(!run.delegate->sessionController() && !run.delegate->overlayWindow());
    run.delegate->toggleClickThrough();
    QVERIFY(run.delegate->clickThroughEnabled());
    run.delegate->applicationWillTerminate();
    QCOMPARE(appLines(),
        (QStringList { QStringLiteral("Starting captions"), QStringLiteral("Stopping captions"),
            QStringLiteral("Toggle click through new state true"), QStringLiteral("Application will terminate") }));
    QVERIFY(QSettings(m_file, QSettings::NativeFormat).allKeys().isEmpty()); // no frame to write
}

void AppDelegateTest::hideAndShowTakeControlPanelAlong()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready() && run.control().isVisible());
    run.delegate->toggleOverlayVisibility();
    QVERIFY(!run.overlay().isVisible() && !run.control().isVisible());
    QCOMPARE(appLines().last(), QStringLiteral("Overlay visibility false"));
    // Moved while hidden: showing places the panel as well.
    run.overlay().setGeometry(400, 500, 600, 220);
    run.delegate->toggleOverlayVisibility();
    QVERIFY(run.overlay().isVisible() && run.control().isVisible());
    QCOMPARE(run.control().geometry(), QRect(960, 460, 32, 32));
    QVERIFY(appLines().contains(QStringLiteral("Overlay visibility true")));
    // A second launch asks for the overlay: it comes back if hidden.
    run.delegate->toggleOverlayVisibility();
    run.delegate->showOverlay();
    QVERIFY(run.overlay().isVisible() && run.control().isVisible());
}

void AppDelegateTest::controlPanelPlacement_data()
{
    QTest::addColumn<QRect>("overlay");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("screen"); // null: not known
    QTest::addColumn<QRect>("control");
    const QRect screen(0, 0, 1024, 768);
    QTest::newRow("example") << QRect(200, 200, 600, 220) << QSize(32, 32) << screen << QRect(760, 160, 32, 32);
    QTest::newRow("wider control") << QRect(100, 100, 400, 200) << QSize(48, 20) << screen << QRect(444, 72, 48, 20);
    QTest::newRow("screen not known") << QRect(0, 0, 320, 120) << QSize(32, 32) << QRect() << QRect(280, -40, 32, 32);
    // At the top edge the button goes below the overlay; with no room there either, inside its top edge.
    QTest::newRow("top edge") << QRect(0, 0, 320, 120) << QSize(32, 32) << screen << QRect(280, 128, 32, 32);
    QTest::newRow("just room above") << QRect(0, 40, 320, 120) << QSize(32, 32) << screen << QRect(280, 0, 32, 32);
    QTest::newRow("under a top panel") << QRect(0, 40, 320, 120) << QSize(32, 32) << QRect(0, 30, 1024, 738)
                                       << QRect(280, 168, 32, 32);
    QTest::newRow("full height") << QRect(0, 0, 320, 768) << QSize(32, 32) << screen << QRect(280, 8, 32, 32);
}

void AppDelegateTest::controlPanelPlacement()
{
    QFETCH(QRect, overlay);
    QFETCH(QSize, size);
    QFETCH(QRect, screen);
    QFETCH(QRect, control);
    QCOMPARE(AppDelegate::controlFrame(overlay, size, screen), control);
}

void AppDelegateTest::followTimerDuringMoves()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    // Resting, nothing of ours ticks.
    QTRY_VERIFY(!run.delegate->controlFollowTimer().isActive());
    for (const QObject *owner :
        std::initializer_list<const QObject *> { &run.overlay(), &run.control(), run.delegate.get() }) {
        for (const QTimer *timer : owner->findChildren<QTimer *>())
            QVERIFY2(!timer->isActive(), qPrintable(timer->objectName()));
    }

    run.overlay().move(210, 200);
    const QTimer &timer = run.delegate->controlFollowTimer();
    const QTimer &stop = run.delegate->controlFollowStopTask();
    QTRY_VERIFY(timer.isActive());
    QVERIFY(timer.interval() == 16 && stop.interval() == 200);
    // Moves within 0.2 s each push the end further.
    for (int x : { 220, 230 }) {
        QTest::qWait(100);
        run.overlay().move(x, 205);
        QTRY_COMPARE(run.overlay().x(), x);
        QVERIFY(timer.isActive() && stop.isActive() && stop.remainingTime() > 100);
    }

    // Following ends 0.2 s after the last move, and the panel is placed once more at that moment.
    std::optional<bool> timerGoneAtLastPlacement;
    connect(run.delegate.get(), &AppDelegate::controlWindowPositioned, this,
        [&] { timerGoneAtLastPlacement = !timer.isActive(); });
    QTRY_VERIFY_WITH_TIMEOUT(!timer.isActive(), 5000);
    QVERIFY(!stop.isActive());
    QVERIFY(timerGoneAtLastPlacement.value_or(false));
    QCOMPARE(run.control().geometry(), QRect(230 + 600 - 32 - 8, 205 - 8 - 32, 32, 32));
}

void AppDelegateTest::dragByBackgroundAndResizeAtEdge()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    // Where the window manager cannot move the window (as here), the overlay moves itself. The press
    // lands on the caption view and comes up to the overlay.
    QWidget *caption = run.overlay().childAt(300, 110);
    QVERIFY(caption);
    sendMouse(caption, QEvent::MouseButtonPress, caption->mapFrom(&run.overlay(), QPoint(300, 110)), Qt::LeftButton);
    sendMouse(caption, QEvent::MouseMove, caption->mapFrom(&run.overlay(), QPoint(340, 130)), Qt::LeftButton);
    QTRY_COMPARE(run.overlay().pos(), QPoint(240, 220));
    QTRY_COMPARE(stored(AppDelegate::keyX), 240.0);
    sendMouse(caption, QEvent::MouseButtonRelease, QPoint(0, 0), Qt::NoButton);

    // A press at the right edge resizes while following; its end stores the frame and places the panel,
    // no timer left.
    QCOMPARE(run.overlay().edgesAt(QPoint(598, 110)), Qt::Edges(Qt::RightEdge));
    sendMouse(&run.overlay(), QEvent::MouseButtonPress, QPoint(598, 110), Qt::LeftButton);
    sendMouse(&run.overlay(), QEvent::MouseMove, QPoint(698, 110), Qt::LeftButton);
    QTRY_COMPARE(run.overlay().width(), 700);
    sendMouse(&run.overlay(), QEvent::MouseButtonRelease, QPoint(698, 110), Qt::NoButton);
    QCOMPARE(stored(AppDelegate::keyW), 700.0);
    QVERIFY(!run.delegate->controlFollowTimer().isActive() && !run.delegate->controlFollowStopTask().isActive());
    QCOMPARE(run.control().geometry(), QRect(240 + 700 - 40, 220 - 40, 32, 32));
    // No smaller than the caption view allows.
    sendMouse(&run.overlay(), QEvent::MouseButtonPress, QPoint(698, 110), Qt::LeftButton);
    sendMouse(&run.overlay(), QEvent::MouseMove, QPoint(0, 110), Qt::LeftButton);
    sendMouse(&run.overlay(), QEvent::MouseButtonRelease, QPoint(0, 110), Qt::NoButton);
    QTRY_COMPARE(run.overlay().size(), QSize(320, 220));
}

void AppDelegateTest::captionsRunningFollowsController()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    run.delegate->startCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(run.delegate->captionsRunning(), 10000);
    // The controller stops by itself when the capture stream dies.
    run.capture->lastStream()->fail(PlatformError { QStringLiteral("PulseAudio"), 1, QStringLiteral("Server gone") });
    QTRY_VERIFY_WITH_TIMEOUT(!run.delegate->captionsRunning(), 10000);
    QVERIFY(!run.delegate->sessionController()->errorMessage.get().isEmpty());
    run.delegate->startCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(run.delegate->captionsRunning(), 10000);
    run.delegate->stopCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(!run.delegate->captionsRunning(), 10000);
}

// Text on screen can be saved before any sentence is finished; Quit (and so a termination signal) ends
// Sonorel only once the sentence under way is in the transcript.
void AppDelegateTest::quitKeepsTheSentenceUnderWay()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    run.delegate->startCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(run.delegate->captionsRunning(), 10000);
    const auto task = run.engine->lastTask();
    QVERIFY(!run.delegate->hasTranscript());
    task->deliverText(QStringLiteral("And rather self"));
    QTRY_VERIFY(run.delegate->hasTranscript());
    task->sentenceUnderWay = TimedSentence { QStringLiteral("And rather self."), 0, 1, {} };
    task->holdFinish = true;
    QTimer::singleShot(0, run.delegate.get(), [&] {
        run.delegate->quit();
        QTimer::singleShot(0, run.delegate.get(), [&] { task->answerFinish(); });
    });
    QTimer::singleShot(30000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    const auto &sentences = run.delegate->sessionController()->transcript().sentences();
    QCOMPARE(sentences.size(), std::size_t(1));
    QCOMPARE(sentences.back().text, QStringLiteral("And rather self."));
    QVERIFY(!run.delegate->captionsRunning());
}

// A soft shadow lies in a margin around the caption where a compositor shows it, and nowhere else: no
// compositor runs for the tests' screen, so none is drawn until asked for.
void AppDelegateTest::shadowInTheMargin()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    OverlayPanel &overlay = run.overlay();
    QWidget &caption = *overlay.findChild<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(!overlay.isShadowed());
    QCOMPARE(caption.geometry(), overlay.rect());
    overlay.setShadowed(true);
    const int m = OverlayPanel::shadowMargin;
    QTRY_COMPARE(caption.geometry(), overlay.rect().adjusted(m, m, -m, -m));
    overlay.setShadowed(false);
    QTRY_COMPARE(caption.geometry(), overlay.rect());
    overlay.setShadowed(true);
    QTRY_COMPARE(caption.geometry(), overlay.rect().adjusted(m, m, -m, -m));
    // Rendered alone, the panel's margin holds the shadow: darkest next to the caption, clear at the edge.
    QImage image(overlay.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    overlay.render(&image, {}, QRegion(), QWidget::DrawWindowBackground);
    const int midX = overlay.width() / 2;
    const int nearBox = qAlpha(image.pixel(midX, overlay.height() - m + 3));
    const int atEdge = qAlpha(image.pixel(midX, overlay.height() - 1));
    QVERIFY2(nearBox > 20 && nearBox > atEdge, qPrintable(QStringLiteral("%1 %2").arg(nearBox).arg(atEdge)));
}

QTEST_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
