#include "AppDelegate.h"
#include "AppSettings.h"
#include "BundleInfo.h"
#include "CaptionViewModel.h"
#include "ControlPanel.h"
#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "OverlayPanel.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

namespace {

QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;

void captureAppLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "com.ambrite.sonorel.App")
        capturedLines << message;
    if (previousHandler)
        previousHandler(type, context, message);
}

// One application run: a delegate on a settings file that outlives it, so that a test can "restart".
struct Run {
    QString file;
    std::shared_ptr<FakePermissionService> permissions = std::make_shared<FakePermissionService>();
    std::shared_ptr<FakeAudioCaptureService> capture = std::make_shared<FakeAudioCaptureService>();
    std::shared_ptr<FakeSpeechEngine> engine = std::make_shared<FakeSpeechEngine>();
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<AppDelegate> delegate;

    explicit Run(const QString &fileName) : file(fileName)
    {
        engine->setLocale(QStringLiteral("en-US"));
        settings = std::make_unique<AppSettings>(file);
        delegate = std::make_unique<AppDelegate>(
            *settings, std::make_unique<QSettings>(file, QSettings::NativeFormat), [this] {
                return CaptioningServices { permissions, capture, engine };
            });
    }

    void launch()
    {
        delegate->applicationDidFinishLaunching();
        QTRY_VERIFY(delegate->window && delegate->window->isVisible());
    }

    OverlayPanel &overlay() const { return *delegate->window; }
    ControlPanel &control() const { return *delegate->controlWindow; }
};

QVariant stored(const QString &file, const QString &key)
{
    QSettings settings(file, QSettings::NativeFormat);
    return settings.value(key);
}

} // namespace

class AppDelegateTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void launchLogsBuild_data();
    void launchLogsBuild();
    void overlayFrameFromStore_data();
    void overlayFrameFromStore();
    void frameWrittenOnMoveAndTermination();
    void quittingBeforeOverlayWritesNothing();
    void commandsBeforeOverlayOnlyLog();
    void clickThroughToggledTwiceAndForgottenOnRestart();
    void hideAndShowMoveControlPanelToo();
    void controlPanelPlacement_data();
    void controlPanelPlacement();
    void followTimerDuringMoves();
    void resizeEndLeavesNoTimer();
    void dragByBackgroundAndResizeAtEdge();
    void idleOverlayRunsNoTimers();
    void captionsRunningFollowsController();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_file;
};

void AppDelegateTest::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureAppLines);
}

void AppDelegateTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_file = m_dir->filePath(QStringLiteral("sonorel.conf"));
    capturedLines.clear();
}

void AppDelegateTest::cleanup()
{
    BundleInfo::resetInfoDictionary();
    QLoggingCategory::setFilterRules(QString());
}

void AppDelegateTest::launchLogsBuild_data()
{
    QTest::addColumn<QVariantMap>("info");
    QTest::addColumn<QString>("line");
    QTest::newRow("build") << QVariantMap { { BundleInfo::versionKey, QStringLiteral("77") } }
                           << QStringLiteral("Application did finish launching build 77");
    QTest::newRow("missing") << QVariantMap {} << QStringLiteral("Application did finish launching build -");
    QTest::newRow("not a string") << QVariantMap { { BundleInfo::versionKey, 77 } }
                                  << QStringLiteral("Application did finish launching build -");
}

void AppDelegateTest::launchLogsBuild()
{
    QFETCH(QVariantMap, info);
    QFETCH(QString, line);
    BundleInfo::setInfoDictionary(info);
    Run run(m_file);
    run.launch();
    QCOMPARE(capturedLines.value(0), line);
    QCOMPARE(capturedLines.value(1), QStringLiteral("Creating overlay window"));
    QVERIFY(capturedLines.contains(QStringLiteral("Overlay window ready size %1x%2")
                                       .arg(run.delegate->overlayFrameW, 0, 'f', 6)
                                       .arg(run.delegate->overlayFrameH, 0, 'f', 6)));
}

void AppDelegateTest::overlayFrameFromStore_data()
{
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<QRect>("frame");
    QTest::newRow("empty store") << QVariantMap {} << QRect(200, 200, 600, 220);
    QTest::newRow("only width") << QVariantMap { { QStringLiteral("overlayFrameW"), 800.0 } }
                                << QRect(200, 200, 800, 220);
    QTest::newRow("only origin") << QVariantMap { { QStringLiteral("overlayFrameX"), 10.0 },
        { QStringLiteral("overlayFrameY"), 20.0 } }
                                 << QRect(10, 20, 600, 220);
    QTest::newRow("all four") << QVariantMap { { QStringLiteral("overlayFrameX"), 50.0 },
        { QStringLiteral("overlayFrameY"), 60.0 }, { QStringLiteral("overlayFrameW"), 700.0 },
        { QStringLiteral("overlayFrameH"), 300.0 } }
                              << QRect(50, 60, 700, 300);
    QTest::newRow("off every screen") << QVariantMap { { QStringLiteral("overlayFrameX"), -5000.0 },
        { QStringLiteral("overlayFrameY"), 9000.0 } }
                                      << QRect(-5000, 9000, 600, 220);
    // A hand-damaged value is ignored rather than making a window of nothing.
    QTest::newRow("not a number") << QVariantMap { { QStringLiteral("overlayFrameW"), QStringLiteral("wide") },
        { QStringLiteral("overlayFrameH"), 260.0 } }
                                  << QRect(200, 200, 600, 260);
}

void AppDelegateTest::overlayFrameFromStore()
{
    QFETCH(QVariantMap, keys);
    QFETCH(QRect, frame);
    {
        QSettings store(m_file, QSettings::NativeFormat);
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            store.setValue(it.key(), it.value());
    }
    Run run(m_file);
    run.launch();
    QCOMPARE(run.overlay().geometry(), frame);
    QCOMPARE(run.delegate->overlayFrameW, double(frame.width()));
    QVERIFY(capturedLines.contains(QStringLiteral("Overlay window ready size %1x%2")
                                       .arg(double(frame.width()), 0, 'f', 6)
                                       .arg(double(frame.height()), 0, 'f', 6)));
    // Launching writes nothing by itself.
    QSettings store(m_file, QSettings::NativeFormat);
    for (const QString &key : { AppDelegate::keyX, AppDelegate::keyY, AppDelegate::keyW, AppDelegate::keyH })
        QCOMPARE(store.contains(key), keys.contains(key));
}

void AppDelegateTest::frameWrittenOnMoveAndTermination()
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.ambrite.sonorel.App.debug=true"));
    Run run(m_file);
    run.launch();
    capturedLines.clear();
    // Every move is written, not only the last one of a drag.
    run.overlay().move(300, 310);
    QTRY_COMPARE(stored(m_file, AppDelegate::keyX).toDouble(), 300.0);
    QCOMPARE(stored(m_file, AppDelegate::keyY).toDouble(), 310.0);
    QVERIFY(capturedLines.contains(QStringLiteral("Persisting frame origin 300.000000,310.000000 size "
                                                  "600.000000x220.000000")));
    run.overlay().move(320, 330);
    QTRY_COMPARE(stored(m_file, AppDelegate::keyX).toDouble(), 320.0);

    run.overlay().resize(640, 240);
    run.delegate->applicationWillTerminate();
    QCOMPARE(stored(m_file, AppDelegate::keyW).toDouble(), 640.0);
    QCOMPARE(stored(m_file, AppDelegate::keyH).toDouble(), 240.0);
    QVERIFY(capturedLines.contains(QStringLiteral("Application will terminate")));

    // The next run opens where this one ended.
    run.delegate.reset();
    Run next(m_file);
    next.launch();
    QCOMPARE(next.overlay().geometry(), QRect(320, 330, 640, 240));
}

void AppDelegateTest::quittingBeforeOverlayWritesNothing()
{
    Run run(m_file);
    run.delegate->applicationWillTerminate();
    QVERIFY(capturedLines.contains(QStringLiteral("Application will terminate")));
    QSettings store(m_file, QSettings::NativeFormat);
    QVERIFY(store.allKeys().isEmpty());
}

void AppDelegateTest::commandsBeforeOverlayOnlyLog()
{
    Run run(m_file);
    run.delegate->startCaptions();
    run.delegate->stopCaptions();
    run.delegate->toggleOverlayVisibility();
    QCOMPARE(capturedLines, (QStringList { QStringLiteral("Starting captions"), QStringLiteral("Stopping captions") }));
    QVERIFY(!run.delegate->viewModel);
    QVERIFY(!run.delegate->window);
    run.delegate->toggleClickThrough();
    QVERIFY(run.delegate->isClickThrough.get());
    QCOMPARE(capturedLines.last(), QStringLiteral("Toggle click through new state true"));
}

void AppDelegateTest::clickThroughToggledTwiceAndForgottenOnRestart()
{
    {
        Run run(m_file);
        run.launch();
        QVERIFY(!run.delegate->isClickThrough.get());
        QVERIFY(!run.overlay().isClickThrough());

        run.delegate->toggleClickThrough();
        QVERIFY(run.delegate->isClickThrough.get());
        QVERIFY(run.overlay().windowFlags().testFlag(Qt::WindowTransparentForInput));
        QVERIFY(run.overlay().isVisible()); // re-shown after the flag change
        QCOMPARE(run.overlay().geometry(), QRect(200, 200, 600, 220));
        // The control panel never ignores the mouse.
        QVERIFY(!run.control().windowFlags().testFlag(Qt::WindowTransparentForInput));
        QCOMPARE(capturedLines.last(), QStringLiteral("Toggle click through new state true"));

        run.delegate->toggleClickThrough();
        QVERIFY(!run.delegate->isClickThrough.get());
        QVERIFY(!run.overlay().windowFlags().testFlag(Qt::WindowTransparentForInput));
        QCOMPARE(capturedLines.last(), QStringLiteral("Toggle click through new state false"));
        run.delegate->toggleClickThrough();
        run.delegate->applicationWillTerminate();
    }
    Run restarted(m_file);
    restarted.launch();
    QVERIFY(!restarted.delegate->isClickThrough.get());
    QVERIFY(!restarted.overlay().isClickThrough());
}

void AppDelegateTest::hideAndShowMoveControlPanelToo()
{
    Run run(m_file);
    run.launch();
    QVERIFY(run.control().isVisible());
    run.delegate->toggleOverlayVisibility();
    QVERIFY(!run.overlay().isVisible());
    QVERIFY(!run.control().isVisible());
    QCOMPARE(capturedLines.last(), QStringLiteral("Overlay visibility false"));

    // Moved while hidden: showing places the panel before showing it.
    run.overlay().setGeometry(400, 500, 600, 220);
    QSignalSpy placed(run.delegate.get(), &AppDelegate::controlWindowPositioned);
    run.delegate->toggleOverlayVisibility();
    QVERIFY(run.overlay().isVisible());
    QVERIFY(run.control().isVisible());
    QVERIFY(placed.count() >= 1);
    QCOMPARE(run.control().geometry(), QRect(960, 460, 32, 32));
    QVERIFY(capturedLines.contains(QStringLiteral("Overlay visibility true")));

    // A second launch asks for the overlay: it comes back if hidden.
    run.delegate->toggleOverlayVisibility();
    run.delegate->showOverlay();
    QVERIFY(run.overlay().isVisible());
    QVERIFY(run.control().isVisible());
}

void AppDelegateTest::controlPanelPlacement_data()
{
    QTest::addColumn<QRect>("overlay");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("control");
    QTest::newRow("example") << QRect(200, 200, 600, 220) << QSize(32, 32) << QRect(760, 160, 32, 32);
    QTest::newRow("top-left corner") << QRect(0, 0, 320, 120) << QSize(32, 32) << QRect(280, -40, 32, 32);
    QTest::newRow("wider control") << QRect(100, 100, 400, 200) << QSize(48, 20) << QRect(444, 72, 48, 20);
}

void AppDelegateTest::controlPanelPlacement()
{
    QFETCH(QRect, overlay);
    QFETCH(QSize, size);
    QFETCH(QRect, control);
    QCOMPARE(AppDelegate::controlFrame(overlay, size), control);

    if (size == QSize(32, 32)) {
        {
            QSettings store(m_file, QSettings::NativeFormat);
            store.setValue(AppDelegate::keyX, overlay.x());
            store.setValue(AppDelegate::keyY, overlay.y());
            store.setValue(AppDelegate::keyW, overlay.width());
            store.setValue(AppDelegate::keyH, overlay.height());
        }
        Run run(m_file);
        run.launch();
        QCOMPARE(run.control().geometry(), control);
    }
}

void AppDelegateTest::followTimerDuringMoves()
{
    Run run(m_file);
    run.launch();
    QVERIFY(!run.delegate->controlFollowTimer);

    run.overlay().move(210, 200);
    QTRY_VERIFY(run.delegate->controlFollowTimer);
    QPointer<QTimer> timer = run.delegate->controlFollowTimer;
    QCOMPARE(timer->interval(), 16);
    QVERIFY(timer->isActive());
    QVERIFY(run.delegate->controlFollowStopTask);
    QCOMPARE(run.delegate->controlFollowStopTask->interval(), 200);

    // Moves within 0.2 s keep the one timer, and each pushes the end further.
    QPointer<QTimer> firstStop = run.delegate->controlFollowStopTask;
    run.overlay().move(220, 200);
    QTRY_COMPARE(run.overlay().x(), 220);
    run.overlay().move(230, 205);
    QTRY_COMPARE(run.overlay().x(), 230);
    QCOMPARE(run.delegate->controlFollowTimer, timer);
    QVERIFY(run.delegate->controlFollowStopTask && run.delegate->controlFollowStopTask->isActive());
    QVERIFY(run.delegate->controlFollowStopTask != firstStop);

    // Following ends 0.2 s after the last move, and the panel is placed once more at that moment.
    std::optional<bool> timerGoneAtLastPlacement;
    connect(run.delegate.get(), &AppDelegate::controlWindowPositioned, this,
        [&] { timerGoneAtLastPlacement = !run.delegate->controlFollowTimer; });
    QTRY_VERIFY_WITH_TIMEOUT(!run.delegate->controlFollowTimer, 5000);
    QVERIFY(!run.delegate->controlFollowStopTask);
    QVERIFY(timerGoneAtLastPlacement.value_or(false));
    QCOMPARE(run.control().geometry(), QRect(230 + 600 - 32 - 8, 205 - 8 - 32, 32, 32));
}

void AppDelegateTest::resizeEndLeavesNoTimer()
{
    Run run(m_file);
    run.launch();
    run.overlay().setGeometry(150, 250, 700, 260);
    QTRY_VERIFY(run.delegate->controlFollowTimer);
    run.delegate->windowDidEndLiveResize();
    QVERIFY(!run.delegate->controlFollowTimer);
    QVERIFY(!run.delegate->controlFollowStopTask);
    QCOMPARE(run.control().geometry(), QRect(150 + 700 - 40, 250 - 40, 32, 32));
    QCOMPARE(stored(m_file, AppDelegate::keyW).toDouble(), 700.0);
}

namespace {

void sendMouse(QWidget *target, QEvent::Type type, const QPoint &local, Qt::MouseButtons buttons)
{
    const QPointF global = target->mapToGlobal(QPointF(local));
    QMouseEvent event(type, QPointF(local), QPointF(local), global,
        type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

void AppDelegateTest::dragByBackgroundAndResizeAtEdge()
{
    Run run(m_file);
    run.launch();
    // Where the window manager cannot move the window (as here), the overlay moves itself. The press
    // lands on the caption view and comes up to the overlay.
    QWidget *caption = run.overlay().childAt(300, 110);
    QVERIFY(caption);
    sendMouse(caption, QEvent::MouseButtonPress, caption->mapFrom(&run.overlay(), QPoint(300, 110)), Qt::LeftButton);
    sendMouse(caption, QEvent::MouseMove, caption->mapFrom(&run.overlay(), QPoint(340, 130)), Qt::LeftButton);
    QTRY_COMPARE(run.overlay().pos(), QPoint(240, 220));
    QTRY_COMPARE(stored(m_file, AppDelegate::keyX).toDouble(), 240.0);
    sendMouse(caption, QEvent::MouseButtonRelease, QPoint(0, 0), Qt::NoButton);
    QVERIFY(!run.overlay().isResizeSettling());

    // A press at the right edge resizes; its end stores the frame and places the panel, no timer left.
    QTRY_VERIFY_WITH_TIMEOUT(!run.delegate->controlFollowTimer, 5000);
    QCOMPARE(run.overlay().edgesAt(QPoint(598, 110)), Qt::Edges(Qt::RightEdge));
    sendMouse(&run.overlay(), QEvent::MouseButtonPress, QPoint(598, 110), Qt::LeftButton);
    sendMouse(&run.overlay(), QEvent::MouseMove, QPoint(698, 110), Qt::LeftButton);
    QTRY_COMPARE(run.overlay().width(), 700);
    sendMouse(&run.overlay(), QEvent::MouseButtonRelease, QPoint(698, 110), Qt::NoButton);
    QCOMPARE(stored(m_file, AppDelegate::keyW).toDouble(), 700.0);
    QVERIFY(!run.delegate->controlFollowTimer);
    QCOMPARE(run.control().geometry(), QRect(240 + 700 - 40, 220 - 40, 32, 32));

    // No smaller than the caption view allows.
    sendMouse(&run.overlay(), QEvent::MouseButtonPress, QPoint(698, 110), Qt::LeftButton);
    sendMouse(&run.overlay(), QEvent::MouseMove, QPoint(0, 110), Qt::LeftButton);
    sendMouse(&run.overlay(), QEvent::MouseButtonRelease, QPoint(0, 110), Qt::NoButton);
    QTRY_COMPARE(run.overlay().width(), 320);
}

void AppDelegateTest::idleOverlayRunsNoTimers()
{
    Run run(m_file);
    run.launch();
    QTRY_VERIFY(!run.delegate->controlFollowTimer);
    // Nothing of ours ticks while the overlay rests and captions are stopped.
    const auto timers = run.overlay().findChildren<QTimer *>();
    for (const QTimer *timer : timers)
        QVERIFY2(!timer->isActive(), qPrintable(timer->objectName()));
    for (const QTimer *timer : run.control().findChildren<QTimer *>())
        QVERIFY(!timer->isActive());
    for (const QTimer *timer : run.delegate->findChildren<QTimer *>())
        QVERIFY(!timer->isActive());
    QVERIFY(!run.overlay().isResizeSettling());
}

void AppDelegateTest::captionsRunningFollowsController()
{
    Run run(m_file);
    run.launch();
    QVERIFY(!run.delegate->isCaptionsRunning.get());

    run.delegate->startCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(run.delegate->isCaptionsRunning.get(), 10000);
    QVERIFY(run.delegate->viewModel->isRunning.get());

    // The controller stops by itself when the capture stream dies.
    QVERIFY(run.capture->lastStream());
    run.capture->lastStream()->fail(PlatformError { QStringLiteral("PulseAudio"), 1, QStringLiteral("Server gone") });
    QTRY_VERIFY_WITH_TIMEOUT(!run.delegate->isCaptionsRunning.get(), 10000);
    QVERIFY(!run.delegate->viewModel->errorMessage.get().isEmpty());

    run.delegate->startCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(run.delegate->isCaptionsRunning.get(), 10000);
    run.delegate->stopCaptions();
    QTRY_VERIFY_WITH_TIMEOUT(!run.delegate->isCaptionsRunning.get(), 10000);
}

QTEST_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
