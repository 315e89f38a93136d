#include "app/AppDelegate.h"
#include "FakeCaptioning.h"
#include "LogCapture.h"
#include "app/ControlPanel.h"
#include "app/OverlayPanel.h"
#include "base/BundleInfo.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

// What the delegate decides by itself: where the overlay and its menu button go, what is stored, when the
// button follows. What takes a real window manager (stacking, placement under it, click-through, the
// button at the top edge of a real screen) is left to the smoke test under Openbox.
namespace {

const QStringList frameKeys { AppDelegate::keyX, AppDelegate::keyY, AppDelegate::keyW, AppDelegate::keyH };

// One application run on a settings file of the test's.
struct Run {
    FakeCaptioning fakes;
    AppSettings settings;
    AppDelegate delegate;

    explicit Run(const QString &file, bool launched = true)
        : settings(file), delegate(settings, std::make_unique<QSettings>(file, QSettings::NativeFormat),
                              [this] { return fakes.services(); })
    {
        if (launched)
            delegate.applicationDidFinishLaunching();
    }
    // The overlay comes on a later turn of the event loop.
    bool ready() const { return delegate.overlayWindow() && delegate.overlayWindow()->isVisible(); }
    OverlayPanel &overlay() const { return *delegate.overlayWindow(); }
    ControlPanel &control() const { return *delegate.controlPanel(); }
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
    void placementOnScreens_data();
    void placementOnScreens();
    void controlPanelPlacement_data();
    void controlPanelPlacement();
    void commandsBeforeOverlayOnlyLog();
    void hideAndShowTakeControlPanelAlong();
    void followTimerDuringMoves();
    void dragByBackgroundAndResizeAtEdge();
    void captionsRunningAndQuit();
    void shadowInTheMargin();

private:
    QStringList appLines() const { return m_log->lines().filter(QStringLiteral("App: ")); }
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

// Where the overlay lands for each screen layout is the placement table's; these rows are about reading
// the store.
void AppDelegateTest::overlayFrameFromStore_data()
{
    QTest::addColumn<QVariantList>("keys"); // x, y, w, h; an invalid entry is a key that is absent
    QTest::addColumn<QRect>("frame");
    const QVariant none;
    QTest::newRow("empty store") << QVariantList { none, none, none, none } << QRect(200, 200, 600, 220);
    QTest::newRow("only width") << QVariantList { none, none, 500.0, none } << QRect(200, 200, 500, 220);
    QTest::newRow("all four") << QVariantList { 50.0, 60.0, 700.0, 300.0 } << QRect(50, 60, 700, 300);
    // Partly off the screen: shown wholly on it, and the stored frame kept for a screen that holds it.
    QTest::newRow("partly off the screen") << QVariantList { 700.0, 100.0, none, none } << QRect(200, 100, 600, 220);
    // A hand-damaged value is ignored rather than making a window of nothing.
    QTest::newRow("not a number") << QVariantList { none, none, QStringLiteral("wide"), 260.0 }
                                  << QRect(200, 200, 600, 260);
}

void AppDelegateTest::overlayFrameFromStore()
{
    QFETCH(QVariantList, keys);
    QFETCH(QRect, frame);
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
    QVERIFY2(appLines().first().contains(QStringLiteral("build 77")), qPrintable(appLines().join(u'\n')));
    // Launching writes nothing by itself, and a frame shown elsewhere to fit stays stored as it was.
    QSettings store(m_file, QSettings::NativeFormat);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(store.contains(frameKeys[i]), keys[i].isValid());
    if (keys[0].isValid() && keys[0].toDouble() != frame.x()) {
        run.delegate.applicationWillTerminate();
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

void AppDelegateTest::commandsBeforeOverlayOnlyLog()
{
    Run run(m_file, false);
    run.delegate.startCaptions();
    run.delegate.stopCaptions();
    run.delegate.toggleOverlayVisibility();
    QVERIFY(!run.delegate.sessionController() && !run.delegate.overlayWindow());
    run.delegate.toggleClickThrough();
    QVERIFY(run.delegate.clickThroughEnabled());
    run.delegate.applicationWillTerminate();
    QCOMPARE(appLines().size(), 4); // start, stop, click-through, terminate; nothing for the overlay
    QVERIFY(QSettings(m_file, QSettings::NativeFormat).allKeys().isEmpty()); // no frame to write
}

void AppDelegateTest::hideAndShowTakeControlPanelAlong()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready() && run.control().isVisible());
    run.delegate.toggleOverlayVisibility();
    QVERIFY(!run.overlay().isVisible() && !run.control().isVisible());
    QVERIFY(appLines().last().contains(QStringLiteral("visibility")));
    // Moved while hidden: showing places the panel as well.
    run.overlay().setGeometry(400, 500, 600, 220);
    run.delegate.toggleOverlayVisibility();
    QVERIFY(run.overlay().isVisible() && run.control().isVisible());
    QCOMPARE(run.control().geometry(), QRect(960, 460, 32, 32));
    // A second launch asks for the overlay: it comes back if hidden.
    run.delegate.toggleOverlayVisibility();
    run.delegate.showOverlay();
    QVERIFY(run.overlay().isVisible() && run.control().isVisible());
}

void AppDelegateTest::followTimerDuringMoves()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    // Resting, nothing of ours ticks.
    const QTimer &timer = run.delegate.controlFollowTimer();
    const QTimer &stop = run.delegate.controlFollowStopTask();
    QTRY_VERIFY(!timer.isActive());
    for (const QObject *owner :
        std::initializer_list<const QObject *> { &run.overlay(), &run.control(), &run.delegate }) {
        for (const QTimer *each : owner->findChildren<QTimer *>())
            QVERIFY2(!each->isActive(), qPrintable(each->objectName()));
    }
    run.overlay().move(210, 200);
    QTRY_VERIFY(timer.isActive());
    // Moves within 0.2 s each push the end further.
    for (int x : { 220, 230 }) {
        QTest::qWait(100);
        run.overlay().move(x, 205);
        QTRY_COMPARE(run.overlay().x(), x);
        QVERIFY(timer.isActive() && stop.isActive() && stop.remainingTime() > 100);
    }
    // Following ends 0.2 s after the last move, and the panel is placed once more at that moment.
    std::optional<bool> timerGoneAtLastPlacement;
    connect(&run.delegate, &AppDelegate::controlWindowPositioned, this,
        [&] { timerGoneAtLastPlacement = !timer.isActive(); });
    QTRY_VERIFY_WITH_TIMEOUT(!timer.isActive(), 5000);
    QVERIFY(!stop.isActive() && timerGoneAtLastPlacement.value_or(false));
    QCOMPARE(run.control().geometry(), QRect(230 + 600 - 32 - 8, 205 - 8 - 32, 32, 32));
}

void AppDelegateTest::dragByBackgroundAndResizeAtEdge()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    // Where the window manager cannot move the window (as here), the overlay moves itself. The press
    // lands on the caption view and comes up to the overlay. Every move is stored.
    OverlayPanel &overlay = run.overlay();
    QWidget *caption = overlay.childAt(300, 110);
    QVERIFY(caption);
    sendMouse(caption, QEvent::MouseButtonPress, caption->mapFrom(&overlay, QPoint(300, 110)), Qt::LeftButton);
    sendMouse(caption, QEvent::MouseMove, caption->mapFrom(&overlay, QPoint(340, 130)), Qt::LeftButton);
    QTRY_COMPARE(overlay.pos(), QPoint(240, 220));
    QTRY_COMPARE(stored(AppDelegate::keyX), 240.0);
    sendMouse(caption, QEvent::MouseButtonRelease, QPoint(0, 0), Qt::NoButton);

    // A press at the right edge resizes while following; its end stores the frame and places the panel,
    // no timer left.
    QCOMPARE(overlay.edgesAt(QPoint(598, 110)), Qt::Edges(Qt::RightEdge));
    sendMouse(&overlay, QEvent::MouseButtonPress, QPoint(598, 110), Qt::LeftButton);
    sendMouse(&overlay, QEvent::MouseMove, QPoint(698, 110), Qt::LeftButton);
    QTRY_COMPARE(overlay.width(), 700);
    sendMouse(&overlay, QEvent::MouseButtonRelease, QPoint(698, 110), Qt::NoButton);
    QCOMPARE(stored(AppDelegate::keyW), 700.0);
    QVERIFY(!run.delegate.controlFollowTimer().isActive() && !run.delegate.controlFollowStopTask().isActive());
    QCOMPARE(run.control().geometry(), QRect(240 + 700 - 40, 220 - 40, 32, 32));
    // No smaller than the caption view allows.
    sendMouse(&overlay, QEvent::MouseButtonPress, QPoint(698, 110), Qt::LeftButton);
    sendMouse(&overlay, QEvent::MouseMove, QPoint(0, 110), Qt::LeftButton);
    sendMouse(&overlay, QEvent::MouseButtonRelease, QPoint(0, 110), Qt::NoButton);
    QTRY_COMPARE(overlay.size(), QSize(320, 220));
    // Termination writes the frame as it is then.
    overlay.resize(640, 240);
    run.delegate.applicationWillTerminate();
    QCOMPARE(stored(AppDelegate::keyH), 240.0);
}

// Captions run as the controller runs them. Text on screen can be saved before any sentence is finished;
// Quit (and so a termination signal) ends Sonorel only once the sentence under way is in the transcript.
void AppDelegateTest::captionsRunningAndQuit()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    // The controller stops by itself when the capture stream dies; then it is stopped; then Quit.
    for (int round = 0; round < 3; ++round) {
        run.delegate.startCaptions();
        QTRY_VERIFY_WITH_TIMEOUT(run.delegate.captionsRunning(), 10000);
        if (round == 2)
            break;
        if (round == 0)
            run.fakes.capture->lastStream()->fail(
                PlatformError { QStringLiteral("PulseAudio"), 1, QStringLiteral("Gone") });
        else
            run.delegate.stopCaptions();
        QTRY_VERIFY_WITH_TIMEOUT(!run.delegate.captionsRunning(), 10000);
    }
    const auto task = run.fakes.engine->lastTask();
    QVERIFY(!run.delegate.hasTranscript());
    task->deliverText(QStringLiteral("And rather self"));
    QTRY_VERIFY(run.delegate.hasTranscript());
    task->sentenceUnderWay = TimedSentence { QStringLiteral("And rather self."), 0, 1, {} };
    task->holdFinish = true;
    QTimer::singleShot(0, &run.delegate, [&] {
        run.delegate.quit();
        QTimer::singleShot(0, &run.delegate, [&] { task->answerFinish(); });
    });
    QTimer::singleShot(30000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    const auto &sentences = run.delegate.sessionController()->transcript().sentences();
    QCOMPARE(sentences.size(), std::size_t(1));
    QCOMPARE(sentences.back().text, QStringLiteral("And rather self."));
    QVERIFY(!run.delegate.captionsRunning());
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
    const int m = OverlayPanel::shadowMargin;
    for (bool shadowed : { true, false, true }) {
        overlay.setShadowed(shadowed);
        QTRY_COMPARE(caption.geometry(), shadowed ? overlay.rect().adjusted(m, m, -m, -m) : overlay.rect());
    }
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
