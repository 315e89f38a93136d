#include "CaptionDisplayView.h"
#include "AppSettings.h"
#include "CaptionContainerView.h"
#include "CaptionTextBlock.h"
#include "CaptionViewModel.h"
#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QMessageBox>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <cmath>
#include <limits>

namespace {

// A caption controller on fake desktop services, a settings store in a file of its own, and the view.
struct Harness {
    QTemporaryDir dir;
    std::shared_ptr<FakeSpeechEngine> engine = std::make_shared<FakeSpeechEngine>();
    AppSettings settings { dir.filePath(QStringLiteral("settings.conf")) };
    std::unique_ptr<CaptionViewModel> model;

    explicit Harness(double fontSize = 18, bool dark = true, const QString &language = QStringLiteral("en-US"))
    {
        engine->setLocale(QStringLiteral("en-US"));
        settings.setFontSize(fontSize);
        settings.setDarkMode(dark);
        settings.setSelectedLanguage(language);
        model = std::make_unique<CaptionViewModel>(CaptioningServices { std::make_shared<FakePermissionService>(),
                                                       std::make_shared<FakeAudioCaptureService>(), engine },
            settings);
        QCoreApplication::processEvents(); // the controller's first values arrive on the next turn
    }
};

void showSized(QWidget &view, int width = 600, int height = 220)
{
    view.resize(width, height);
    view.show();
}

void sendWheel(QWidget &view, int delta, Qt::KeyboardModifiers modifiers)
{
    const QPointF at(view.width() / 2.0, view.height() / 2.0);
    QWheelEvent event(
        at, view.mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &event);
}

void sendGesture(QWidget &view, Qt::NativeGestureType type, double value)
{
    const QPointF at(view.width() / 2.0, view.height() / 2.0);
    QNativeGestureEvent event(
        type, QPointingDevice::primaryPointingDevice(), 2, at, at, view.mapToGlobal(at), value, QPointF());
    QApplication::sendEvent(&view, &event);
}

QString longCaption(int characters)
{
    QString text;
    for (int word = 0; text.size() < characters; ++word)
        text += QStringLiteral("word%1 ").arg(word);
    return text.left(characters);
}

} // namespace

class CaptionDisplayViewTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void derivedValues_data();
    void derivedValues();
    void fontSizeDrawnWithinBounds_data();
    void fontSizeDrawnWithinBounds();
    void sizeGesturePreviewsThenStores_data();
    void sizeGesturePreviewsThenStores();
    void errorAlertShownDismissedAndShownAgain();
    void indicatorPulsesOnlyWhileRunningAndVisible();
    void newestLineStaysInSight();
    void tailLayoutDrawsWhatWholeLayoutWould();
    void accessibleNameAndValue();
    void containerPassesClickThroughChangesOnly();
};

void CaptionDisplayViewTest::derivedValues_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("rightToLeft");
    QTest::newRow("dark en-US") << true << QStringLiteral("en-US") << false;
    QTest::newRow("light en-US") << false << QStringLiteral("en-US") << false;
    QTest::newRow("dark ar-SA") << true << QStringLiteral("ar-SA") << true;
    QTest::newRow("light he-IL") << false << QStringLiteral("he-IL") << true;
}

void CaptionDisplayViewTest::derivedValues()
{
    QFETCH(bool, dark);
    QFETCH(QString, language);
    QFETCH(bool, rightToLeft);
    Harness h(18, dark, language);
    CaptionDisplayView view(*h.model, h.settings);
    view.resize(600, 220);
    view.refresh();
    QCOMPARE(view.backgroundColor(), QColor(dark ? Qt::black : Qt::white));
    QCOMPARE(view.textColor(), QColor(dark ? Qt::white : Qt::black));
    const Qt::LayoutDirection direction = rightToLeft ? Qt::RightToLeft : Qt::LeftToRight;
    QCOMPARE(view.captionDirection(), direction);
    QCOMPARE(view.layoutDirection(), direction);
    const Qt::Alignment side = rightToLeft ? Qt::AlignRight : Qt::AlignLeft;
    QCOMPARE(view.captionAnchor(), Qt::AlignBottom | side);
    QCOMPARE(view.textAlignment(), side);
    QCOMPARE(view.indicatorCorner(), rightToLeft ? Qt::TopLeftCorner : Qt::TopRightCorner);
    // 8 in from its corner.
    QCOMPARE(view.indicatorRect().top(), 8);
    QCOMPARE(rightToLeft ? view.indicatorRect().left() : view.indicatorRect().right(), rightToLeft ? 8 : 600 - 9);
}

void CaptionDisplayViewTest::fontSizeDrawnWithinBounds_data()
{
    QTest::addColumn<double>("stored");
    QTest::addColumn<double>("drawn");
    QTest::newRow("pinched large") << 40.5 << 40.5;
    QTest::newRow("zero") << 0.0 << CaptionDisplayView::minimumDrawnFontSize;
    QTest::newRow("negative") << -12.0 << CaptionDisplayView::minimumDrawnFontSize;
    QTest::newRow("absurd") << 1e300 << CaptionDisplayView::maximumDrawnFontSize;
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << CaptionDisplayView::maximumDrawnFontSize;
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << 18.0;
}

void CaptionDisplayViewTest::fontSizeDrawnWithinBounds()
{
    QFETCH(double, stored);
    QFETCH(double, drawn);
    QCOMPARE(CaptionDisplayView::drawnFontSize(stored), drawn);
    // Drawn clamped, stored as it was (the store reads a value that is not finite as its default).
    Harness h(stored);
    CaptionDisplayView view(*h.model, h.settings);
    view.resize(400, 200);
    h.model->captionText = QStringLiteral("Hello there");
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("Hello there"));
    QVERIFY(!view.grab().isNull());
    const double kept = std::isfinite(stored) ? stored : 18.0;
    QCOMPARE(h.settings.fontSize(), kept);
    QCOMPARE(view.textBlock().textFont().pixelSize(), int(std::lround(CaptionDisplayView::drawnFontSize(kept))));
    QCOMPARE(view.textBlock().textFont().weight(), QFont::Medium);
}

void CaptionDisplayViewTest::sizeGesturePreviewsThenStores_data()
{
    // Pinch steps are relative changes of the native zoom gesture; wheel steps are Ctrl + wheel notches.
    QTest::addColumn<bool>("wheel");
    QTest::addColumn<QList<double>>("steps");
    QTest::addColumn<double>("size");
    QTest::newRow("pinch") << false << QList<double> { 0.25, 0.2 } << 27.0; // 1.25 * 1.2
    QTest::newRow("pinch below threshold") << false << QList<double> { 0.004, 0.004 } << 18.0;
    QTest::newRow("wheel up") << true << QList<double> { 120, 120 } << 18.0 * 1.21;
    QTest::newRow("wheel down") << true << QList<double> { -120 } << 18.0 / 1.1;
}

void CaptionDisplayViewTest::sizeGesturePreviewsThenStores()
{
    QFETCH(bool, wheel);
    QFETCH(QList<double>, steps);
    QFETCH(double, size);
    Harness h;
    CaptionDisplayView view(*h.model, h.settings);
    showSized(view, 400, 200);
    int writes = 0;
    auto token = h.settings.objectWillChange.subscribe([&] { ++writes; });
    if (!wheel)
        sendGesture(view, Qt::BeginNativeGesture, 0);
    for (double step : steps) {
        if (wheel)
            sendWheel(view, int(step), Qt::ControlModifier);
        else
            sendGesture(view, Qt::ZoomNativeGesture, step);
    }
    const bool changes = size != 18.0;
    QVERIFY(std::abs(view.tempFontSize() - (changes ? size : 0.0)) < 1e-9);
    QTRY_COMPARE(view.textBlock().textFont().pixelSize(), int(std::lround(size)));
    QCOMPARE(writes, 0);
    if (!wheel)
        sendGesture(view, Qt::EndNativeGesture, 0);
    // The wheel's gesture ends when it rests.
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - size) < 1e-9 && view.tempFontSize() == 0, 5000);
    QCOMPARE(writes, changes ? 1 : 0);
    QCOMPARE(view.effectiveFontSize(), h.settings.fontSize());
    if (!wheel)
        return;
    // The next gesture starts from the stored size.
    sendWheel(view, 120, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - size * 1.1) < 1e-9, 5000);
}

void CaptionDisplayViewTest::errorAlertShownDismissedAndShownAgain()
{
    Harness h;
    CaptionDisplayView view(*h.model, h.settings);
    view.show();
    QVERIFY(!view.alert());
    h.model->errorMessage = QStringLiteral("The sound server went away.");
    QTRY_VERIFY(view.alert() && view.alert()->isVisible());
    QCOMPARE(view.alert()->windowTitle(), QStringLiteral("Notice"));
    QCOMPARE(view.alert()->text(), QStringLiteral("The sound server went away."));
    QAbstractButton *ok = view.alert()->button(QMessageBox::Ok);
    QVERIFY(ok);
    QCOMPARE(ok->text().remove(QLatin1Char('&')), QStringLiteral("OK"));
    ok->click();
    QTRY_VERIFY(h.model->errorMessage.get().isEmpty());
    QTRY_VERIFY(!view.alert()->isVisible());

    h.model->errorMessage = QStringLiteral("Second failure");
    QTRY_VERIFY(view.alert()->isVisible());
    QCOMPARE(view.alert()->text(), QStringLiteral("Second failure"));
    view.alert()->reject(); // Escape or the window's close button dismisses too
    QTRY_VERIFY(h.model->errorMessage.get().isEmpty());

    // Cleared elsewhere: the alert goes away without dismissing a second time.
    h.model->errorMessage = QStringLiteral("Third");
    QTRY_VERIFY(view.alert()->isVisible());
    int stores = -1; // the subscription's first call hands over the current value
    auto token = h.model->errorMessage.subscribe([&](const QString &) { ++stores; });
    h.model->dismissError();
    QTRY_VERIFY(!view.alert()->isVisible());
    QCOMPARE(stores, 1);
}

void CaptionDisplayViewTest::indicatorPulsesOnlyWhileRunningAndVisible()
{
    Harness h;
    CaptionDisplayView view(*h.model, h.settings);
    showSized(view);
    QVERIFY(!view.isIndicatorShown() && !view.isPulseRunning());
    h.model->isRunning = true;
    QTRY_VERIFY(view.isIndicatorShown());
    QVERIFY(view.isPulseRunning());
    view.hide();
    QVERIFY(!view.isPulseRunning());
    view.show();
    QVERIFY(view.isPulseRunning());
    h.model->isRunning = false;
    QTRY_VERIFY(!view.isIndicatorShown());
    QVERIFY(!view.isPulseRunning());
}

void CaptionDisplayViewTest::newestLineStaysInSight()
{
    Harness h;
    CaptionDisplayView view(*h.model, h.settings);
    showSized(view);
    h.model->captionText = longCaption(4000);
    QTRY_VERIFY(view.scrollBar().maximum() > 0 && view.textBlock().layoutStart() > 0);
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());

    // Scrolling up lays out the whole text and moves one notch up from its end, not the tail's.
    sendWheel(view, 120, Qt::NoModifier);
    QCOMPARE(view.textBlock().layoutStart(), 0);
    QVERIFY(!view.textBlock().isFollowingEnd());
    const int maximum = view.scrollBar().maximum();
    QCOMPARE(maximum, view.textBlock().maximumScrollOffset());
    QVERIFY(view.scrollBar().value() < maximum);
    QVERIFY(view.scrollBar().value() >= maximum - 3 * view.scrollBar().singleStep());
    QCOMPARE(view.textBlock().scrollOffset(), view.scrollBar().value());

    // The next caption brings the newest line back into sight.
    h.model->captionText = longCaption(4100);
    QTRY_VERIFY(view.textBlock().isFollowingEnd());
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    QCOMPARE(view.textBlock().scrollOffset(), view.textBlock().contentHeight() - view.textBlock().height());
    h.model->captionText = QString();
    QTRY_VERIFY(!view.scrollBar().isVisible());
    QCOMPARE(view.textBlock().scrollOffset(), 0);
}

void CaptionDisplayViewTest::tailLayoutDrawsWhatWholeLayoutWould()
{
    Harness h;
    CaptionDisplayView following(*h.model, h.settings);
    CaptionDisplayView whole(*h.model, h.settings);
    showSized(following);
    showSized(whole);
    h.model->captionText = longCaption(4000);
    QTRY_VERIFY(following.textBlock().text().size() == 4000 && whole.textBlock().text().size() == 4000);
    QVERIFY(following.textBlock().layoutStart() > 0);
    whole.textBlock().setFollowingEnd(false);
    whole.scrollBar().setValue(whole.scrollBar().maximum());
    QCOMPARE(whole.textBlock().layoutStart(), 0);
    QCOMPARE(following.grab().toImage(), whole.grab().toImage());
    // The estimated height of what lies before the tail is close to the real one.
    const int estimated = following.textBlock().contentHeight();
    const int exact = whole.textBlock().contentHeight();
    QVERIFY2(
        std::abs(estimated - exact) < exact / 10, qPrintable(QStringLiteral("%1 vs %2").arg(estimated).arg(exact)));
}

void CaptionDisplayViewTest::accessibleNameAndValue()
{
    Harness h;
    CaptionDisplayView view(*h.model, h.settings);
    view.show();
    h.model->captionText = QStringLiteral("first words");
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("first words"));
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&view.textBlock());
    QVERIFY(iface && iface->textInterface());
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Live captions"));
    QCOMPARE(iface->textInterface()->text(0, 5), QStringLiteral("first"));
    h.model->captionText = QStringLiteral("first words and more");
    QTRY_COMPARE(iface->text(QAccessible::Value), QStringLiteral("first words and more"));
}

void CaptionDisplayViewTest::containerPassesClickThroughChangesOnly()
{
    Harness h;
    int calls = 0;
    CaptionContainerView container(*h.model, h.settings, [&] { ++calls; });
    QCOMPARE(calls, 0); // building the view is no change
    for (bool value : { true, true, false })
        h.model->clickThrough = value;
    QCOMPARE(calls, 2);
}

QTEST_MAIN(CaptionDisplayViewTest)
#include "CaptionDisplayViewTest.moc"
