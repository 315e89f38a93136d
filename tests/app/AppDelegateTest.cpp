#include "app/AppDelegate.h"
#include "FakeCaptioning.h"
#include "app/ControlPanel.h"
#include "app/OverlayPanel.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

using namespace Qt::StringLiterals;

// What the delegate decides by itself. What takes a real window manager (stacking, placement, click-through,
// moves and resizes by it, the frame written on SIGTERM) is left to the smoke test under Openbox.
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
    void overlayFrameFromStore();
    void placements();
    void commandsBeforeOverlay();
    void followHideShowAndShadow();
    void dragByBackgroundAndResizeAtEdge();
    void captionsRunningAndQuit();

private:
    double stored(const QString &key) const { return QSettings(m_file, QSettings::NativeFormat).value(key).toDouble(); }
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_file;
};

void AppDelegateTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_file = m_dir->filePath(u"sonorel.conf"_s);
}

// Reading the store (where the overlay lands for each screen layout is the placement table's). A frame
// partly off the screen is shown wholly on it and stays stored for a screen that holds it; a hand-damaged
// value is ignored rather than making a window of nothing. Launching writes nothing by itself.
void AppDelegateTest::overlayFrameFromStore()
{
    const QVariant none;
    const QList<std::pair<QVariantList, QRect>> rows { { { 700.0, 100.0, none, none }, QRect(200, 100, 600, 220) },
        { { none, none, u"wide"_s, 260.0 }, QRect(200, 200, 600, 260) } };
    for (const auto &[keys, frame] : rows) {
        const QString file = m_dir->filePath(u"%1.conf"_s.arg(frame.y()));
        {
            QSettings store(file, QSettings::NativeFormat);
            for (int i = 0; i < 4; ++i) {
                if (keys[i].isValid())
                    store.setValue(frameKeys[i], keys[i]);
            }
        }
        Run run(file);
        QTRY_VERIFY(run.ready());
        QCOMPARE(run.overlay().geometry(), frame);
        QSettings store(file, QSettings::NativeFormat);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(store.contains(frameKeys[i]), keys[i].isValid());
        if (keys[0].isValid()) {
            run.delegate.applicationWillTerminate();
            QCOMPARE(QSettings(file, QSettings::NativeFormat).value(AppDelegate::keyX), keys[0]);
        }
    }
}

// Where the overlay goes on the screens there are, and its menu button beside it. The plain case and the
// button below an overlay at the screen's top edge are the smoke test's.
void AppDelegateTest::placements()
{
    const auto text
        = [](const QRect &r) { return u"%1,%2 %3x%4"_s.arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()); };
    // Screens (the first is the primary), stored and placed frames. A 1920x1080 primary screen with a 1280x720
    // one to its right, tops aligned.
    const QList<QRect> two { QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 720) }, tiny { QRect(0, 0, 300, 100) };
    const std::tuple<const char *, QList<QRect>, QRect, QRect> frames[] = {
        { "on the second screen", two, QRect(2000, 100, 600, 220), QRect(2000, 100, 600, 220) },
        { "partly below the second", two, QRect(2000, 600, 600, 220), QRect(2000, 500, 600, 220) },
        { "48 square showing", two, QRect(-552, 1032, 600, 220), QRect(0, 860, 600, 220) },
        { "below the shorter screen", two, QRect(2000, 800, 600, 220), QRect(200, 200, 600, 220) },
        { "mostly on the primary", two, QRect(100, 100, 3000, 220), QRect(0, 100, 1920, 220) },
        { "below the minimum", two, QRect(100, 100, 10, 10), QRect(100, 100, 320, 120) },
        { "screen below the minimum", tiny, QRect(50, 50, 600, 220), QRect(0, 0, 320, 120) },
    };
    for (const auto &[name, screens, from, to] : frames) {
        const auto placement = AppDelegate::placeOnScreens(from, screens, screens.first(), QSize(320, 120));
        QVERIFY2(placement.frame == to && placement.resized == (to.size() != from.size())
                && placement.moved == (to.topLeft() != from.topLeft()),
            qPrintable(u"%1: %2"_s.arg(QLatin1String(name), text(placement.frame))));
    }
    const QRect screen(0, 0, 1024, 768), belowPanel(0, 30, 1024, 738);
    // Overlay, button size, screen (null: not known), button.
    const std::tuple<const char *, QRect, QSize, QRect, QRect> controls[] = {
        { "wider control", QRect(100, 100, 400, 200), QSize(48, 20), screen, QRect(444, 72, 48, 20) },
        { "screen not known", QRect(0, 0, 320, 120), QSize(32, 32), QRect(), QRect(280, -40, 32, 32) },
        { "just room above", QRect(0, 40, 320, 120), QSize(32, 32), screen, QRect(280, 0, 32, 32) },
        { "under a top panel", QRect(0, 40, 320, 120), QSize(32, 32), belowPanel, QRect(280, 168, 32, 32) },
        { "full height, inside its top edge", QRect(0, 0, 320, 768), QSize(32, 32), screen, QRect(280, 8, 32, 32) },
    };
    for (const auto &[name, overlay, size, on, control] : controls) {
        const QRect frame = AppDelegate::controlFrame(overlay, size, on);
        QVERIFY2(frame == control, qPrintable(u"%1: %2"_s.arg(QLatin1String(name), text(frame))));
    }
}

// Commands that come before the overlay exists do nothing harmful and write no frame.
void AppDelegateTest::commandsBeforeOverlay()
{
    Run run(m_file, false);
    run.delegate.startCaptions();
    run.delegate.stopCaptions();
    run.delegate.toggleOverlayVisibility();
    QVERIFY(!run.delegate.sessionController() && !run.delegate.overlayWindow());
    run.delegate.toggleClickThrough();
    QVERIFY(run.delegate.clickThroughEnabled());
    run.delegate.applicationWillTerminate();
    QVERIFY(QSettings(m_file, QSettings::NativeFormat).allKeys().isEmpty());
}

void AppDelegateTest::followHideShowAndShadow()
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
    // Following ends 0.2 s after the last move, and the panel is placed once more at that moment.
    std::optional<bool> timerGoneAtLastPlacement;
    connect(&run.delegate, &AppDelegate::controlWindowPositioned, this,
        [&] { timerGoneAtLastPlacement = !timer.isActive(); });
    QTRY_VERIFY_WITH_TIMEOUT(!timer.isActive(), 5000);
    QVERIFY(!stop.isActive() && timerGoneAtLastPlacement.value_or(false));
    QCOMPARE(run.control().geometry(), QRect(210 + 600 - 32 - 8, 200 - 8 - 32, 32, 32));
    // Hiding takes the panel along.
    run.delegate.toggleOverlayVisibility();
    QVERIFY(!run.overlay().isVisible() && !run.control().isVisible());
    // Moved while hidden: showing places the panel as well.
    run.overlay().setGeometry(400, 500, 600, 220);
    run.delegate.toggleOverlayVisibility();
    QVERIFY(run.overlay().isVisible() && run.control().isVisible());
    QCOMPARE(run.control().geometry(), QRect(960, 460, 32, 32));
    // A second launch asks for the overlay: it comes back if hidden.
    run.delegate.toggleOverlayVisibility();
    run.delegate.showOverlay();
    QVERIFY(run.overlay().isVisible() && run.control().isVisible());
    // A margin around the caption holds the shadow where a compositor shows it: no compositor runs for the
    // tests' screen, so there is none until asked for.
    OverlayPanel &overlay = run.overlay();
    QWidget &caption = *overlay.findChild<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    const int m = OverlayPanel::shadowMargin;
    QVERIFY(!overlay.isShadowed());
    QCOMPARE(caption.geometry(), overlay.rect());
    for (bool shadowed : { true, false, true }) {
        overlay.setShadowed(shadowed);
        QTRY_COMPARE(caption.geometry(), shadowed ? overlay.rect().adjusted(m, m, -m, -m) : overlay.rect());
    }
}

// Where the window manager cannot move or resize the window (as here), the overlay does it itself.
void AppDelegateTest::dragByBackgroundAndResizeAtEdge()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    OverlayPanel &overlay = run.overlay();
    // The press lands on the caption view and comes up to the overlay. Every move is stored.
    QWidget *caption = overlay.childAt(300, 110);
    QVERIFY(caption);
    sendMouse(caption, QEvent::MouseButtonPress, caption->mapFrom(&overlay, QPoint(300, 110)), Qt::LeftButton);
    sendMouse(caption, QEvent::MouseMove, caption->mapFrom(&overlay, QPoint(340, 130)), Qt::LeftButton);
    QTRY_COMPARE(overlay.pos(), QPoint(240, 220));
    QTRY_COMPARE(stored(AppDelegate::keyX), 240.0);
    sendMouse(caption, QEvent::MouseButtonRelease, QPoint(0, 0), Qt::NoButton);
    // A press at the right edge resizes, no smaller than the caption view allows; its end stores the frame
    // and places the panel.
    QCOMPARE(overlay.edgesAt(QPoint(598, 110)), Qt::Edges(Qt::RightEdge));
    sendMouse(&overlay, QEvent::MouseButtonPress, QPoint(598, 110), Qt::LeftButton);
    sendMouse(&overlay, QEvent::MouseMove, QPoint(0, 110), Qt::LeftButton);
    QTRY_COMPARE(overlay.size(), QSize(320, 220));
    sendMouse(&overlay, QEvent::MouseButtonRelease, QPoint(0, 110), Qt::NoButton);
    QCOMPARE(stored(AppDelegate::keyW), 320.0);
    QCOMPARE(run.control().geometry(), QRect(240 + 320 - 40, 220 - 40, 32, 32));
}

// Captions run as the controller runs them. Text on screen can be saved before any sentence is finished;
// Quit (and so a termination signal) ends Sonorel only once the sentence under way is in the transcript.
void AppDelegateTest::captionsRunningAndQuit()
{
    Run run(m_file);
    QTRY_VERIFY(run.ready());
    for (const bool running : { true, false, true }) {
        running ? run.delegate.startCaptions() : run.delegate.stopCaptions();
        QTRY_COMPARE_WITH_TIMEOUT(run.delegate.captionsRunning(), running, 10000);
    }
    const auto task = run.fakes.engine->lastTask();
    QVERIFY(!run.delegate.hasTranscript());
    task->deliverText(u"And rather self"_s);
    QTRY_VERIFY(run.delegate.hasTranscript());
    task->sentenceUnderWay = TimedSentence { u"And rather self."_s, 0, 1, {} };
    task->holdFinish = true;
    QTimer::singleShot(0, &run.delegate, [&] {
        run.delegate.quit();
        QTimer::singleShot(0, &run.delegate, [&] { task->answerFinish(); });
    });
    QTimer::singleShot(30000, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
    const auto &sentences = run.delegate.sessionController()->transcript().sentences();
    QCOMPARE(sentences.size(), std::size_t(1));
    QCOMPARE(sentences.back().text, u"And rather self."_s);
    QVERIFY(!run.delegate.captionsRunning());
}

QTEST_MAIN(AppDelegateTest)
#include "AppDelegateTest.moc"
