#include "CaptionDisplayView.h"
#include "CaptionContainerView.h"
#include "CaptionHarness.h"
#include "CaptionTextBlock.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QMessageBox>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <cmath>
#include <limits>

namespace {

std::vector<std::pair<QString, QString>> recordedTextUpdates;

void recordAccessibilityUpdate(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::TextUpdated) {
        auto *update = static_cast<QAccessibleTextUpdateEvent *>(event);
        recordedTextUpdates.emplace_back(update->textRemoved(), update->textInserted());
    }
}

void sendGesture(QWidget *view, Qt::NativeGestureType type, double value)
{
    const QPointF at(view->width() / 2.0, view->height() / 2.0);
    QNativeGestureEvent event(
        type, QPointingDevice::primaryPointingDevice(), 2, at, at, view->mapToGlobal(at), value, QPointF());
    QApplication::sendEvent(view, &event);
}

void sendCtrlWheel(QWidget *view, int delta)
{
    const QPointF at(view->width() / 2.0, view->height() / 2.0);
    QWheelEvent event(at, view->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::ControlModifier,
        Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &event);
}

QString longCaption(int characters)
{
    QString text;
    int word = 0;
    while (text.size() < characters)
        text += QStringLiteral("word%1 ").arg(word++);
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
    void pinchPreviewsThenStores();
    void nativePinchBelowThresholdChangesNothing();
    void nativePinchPreviewsThenStores();
    void ctrlWheelPreviewsThenStores();
    void errorAlertShownDismissedAndShownAgain();
    void alertClosedOtherwiseDismissesToo();
    void indicatorPulsesOnlyWhileRunningAndVisible();
    void newestLineStaysInSight();
    void longCaptionDrawnAsWholeLayoutWould();
    void scrollingUpLaysOutWholeText();
    void accessibilityExposesAndAnnouncesCaption();
    void containerPassesClickThroughChangesOnly();
    void containerMinimumSize();
};

void CaptionDisplayViewTest::derivedValues_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QColor>("background");
    QTest::addColumn<QColor>("text");
    QTest::addColumn<Qt::LayoutDirection>("direction");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<Qt::Corner>("corner");
    QTest::addColumn<int>("alignment");

    const QColor black(Qt::black), white(Qt::white);
    QTest::newRow("dark en-US") << true << QStringLiteral("en-US") << black << white << Qt::LeftToRight
                                << int(Qt::AlignBottom | Qt::AlignLeft) << Qt::TopRightCorner << int(Qt::AlignLeft);
    QTest::newRow("light en-US") << false << QStringLiteral("en-US") << white << black << Qt::LeftToRight
                                 << int(Qt::AlignBottom | Qt::AlignLeft) << Qt::TopRightCorner << int(Qt::AlignLeft);
    QTest::newRow("dark ar-SA") << true << QStringLiteral("ar-SA") << black << white << Qt::RightToLeft
                                << int(Qt::AlignBottom | Qt::AlignRight) << Qt::TopLeftCorner << int(Qt::AlignRight);
    QTest::newRow("light he-IL") << false << QStringLiteral("he-IL") << white << black << Qt::RightToLeft
                                 << int(Qt::AlignBottom | Qt::AlignRight) << Qt::TopLeftCorner << int(Qt::AlignRight);
}

void CaptionDisplayViewTest::derivedValues()
{
    QFETCH(bool, dark);
    QFETCH(QString, language);
    QFETCH(QColor, background);
    QFETCH(QColor, text);
    QFETCH(Qt::LayoutDirection, direction);
    QFETCH(int, anchor);
    QFETCH(Qt::Corner, corner);
    QFETCH(int, alignment);

    CaptionHarness h;
    h.settings.setDarkMode(dark);
    h.settings.setSelectedLanguage(language);
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(600, 220);
    view.refresh();

    QCOMPARE(view.backgroundColor(), background);
    QCOMPARE(view.textColor(), text);
    QCOMPARE(view.captionDirection(), direction);
    QCOMPARE(view.layoutDirection(), direction);
    QCOMPARE(int(view.captionAnchor()), anchor);
    QCOMPARE(view.indicatorCorner(), corner);
    QCOMPARE(int(view.textAlignment()), alignment);
    // The indicator sits 8 in from its corner.
    const QRect indicator = view.indicatorRect();
    QCOMPARE(indicator.top(), 8);
    if (corner == Qt::TopLeftCorner)
        QCOMPARE(indicator.left(), 8);
    else
        QCOMPARE(indicator.right(), 600 - 8 - 1);
}

void CaptionDisplayViewTest::fontSizeDrawnWithinBounds_data()
{
    QTest::addColumn<double>("stored");
    QTest::addColumn<double>("drawn");
    QTest::newRow("default") << 18.0 << 18.0;
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

    // The view draws whatever the store holds, and leaves the stored value alone.
    CaptionHarness h;
    h.settings.setFontSize(stored);
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(400, 200);
    h.viewModel->captionText = QStringLiteral("Hello there");
    view.refresh();
    QVERIFY(!view.grab().isNull());
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("Hello there"));
    // The store reads a value that is not finite as its default.
    const double kept = std::isfinite(stored) ? stored : 18.0;
    QCOMPARE(h.settings.fontSize(), kept);
    QCOMPARE(view.textBlock().textFont().pixelSize(), int(std::lround(CaptionDisplayView::drawnFontSize(kept))));
    QCOMPARE(view.textBlock().textFont().weight(), QFont::Medium);
}

void CaptionDisplayViewTest::pinchPreviewsThenStores()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    int notifications = 0;
    auto token = h.settings.objectWillChange.subscribe([&] { ++notifications; });

    view.pinchChanged(1.5);
    QCOMPARE(view.tempFontSize(), 27.0);
    QCOMPARE(view.effectiveFontSize(), 27.0);
    QCOMPARE(h.settings.fontSize(), 18.0);
    QCOMPARE(notifications, 0);

    view.pinchEnded(1.5);
    QCOMPARE(h.settings.fontSize(), 27.0);
    QCOMPARE(view.tempFontSize(), 0.0);
    QCOMPARE(view.effectiveFontSize(), 27.0);
    QCOMPARE(notifications, 1);
}

void CaptionDisplayViewTest::nativePinchBelowThresholdChangesNothing()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(400, 200);
    sendGesture(&view, Qt::BeginNativeGesture, 0);
    sendGesture(&view, Qt::ZoomNativeGesture, 0.004);
    sendGesture(&view, Qt::ZoomNativeGesture, 0.004);
    QCOMPARE(view.tempFontSize(), 0.0);
    sendGesture(&view, Qt::EndNativeGesture, 0);
    QCOMPARE(h.settings.fontSize(), 18.0);
}

void CaptionDisplayViewTest::nativePinchPreviewsThenStores()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(400, 200);
    sendGesture(&view, Qt::BeginNativeGesture, 0);
    sendGesture(&view, Qt::ZoomNativeGesture, 0.25);
    sendGesture(&view, Qt::ZoomNativeGesture, 0.2); // 1.25 * 1.2 = 1.5
    QVERIFY(std::abs(view.tempFontSize() - 27.0) < 1e-9);
    QCOMPARE(h.settings.fontSize(), 18.0);
    QTRY_COMPARE(view.textBlock().textFont().pixelSize(), 27);
    sendGesture(&view, Qt::EndNativeGesture, 0);
    QVERIFY(std::abs(h.settings.fontSize() - 27.0) < 1e-9);
    QCOMPARE(view.tempFontSize(), 0.0);
}

void CaptionDisplayViewTest::ctrlWheelPreviewsThenStores()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(400, 200);
    sendCtrlWheel(&view, 120);
    sendCtrlWheel(&view, 120);
    QVERIFY(std::abs(view.tempFontSize() - 18.0 * 1.21) < 1e-9);
    QCOMPARE(h.settings.fontSize(), 18.0);
    // Stored once the wheel rests, and the preview ends.
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - 18.0 * 1.21) < 1e-9, 5000);
    QCOMPARE(view.tempFontSize(), 0.0);
    // The next gesture starts from the stored size.
    sendCtrlWheel(&view, -120);
    QVERIFY(std::abs(view.tempFontSize() - 18.0 * 1.21 / 1.1) < 1e-9);
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - 18.0 * 1.1) < 1e-9, 5000);
}

void CaptionDisplayViewTest::errorAlertShownDismissedAndShownAgain()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.show();
    QVERIFY(!view.alert());

    h.viewModel->errorMessage = QStringLiteral("The sound server went away.");
    QTRY_VERIFY(view.alert() && view.alert()->isVisible());
    QCOMPARE(view.alert()->windowTitle(), QStringLiteral("Notice"));
    QCOMPARE(view.alert()->text(), QStringLiteral("The sound server went away."));
    QAbstractButton *ok = view.alert()->button(QMessageBox::Ok);
    QVERIFY(ok);
    QCOMPARE(ok->text().remove(QLatin1Char('&')), QStringLiteral("OK"));

    ok->click();
    QTRY_VERIFY(h.viewModel->errorMessage.get().isEmpty());
    QTRY_VERIFY(!view.alert()->isVisible());

    h.viewModel->errorMessage = QStringLiteral("Second failure");
    QTRY_VERIFY(view.alert()->isVisible());
    QCOMPARE(view.alert()->text(), QStringLiteral("Second failure"));
}

void CaptionDisplayViewTest::alertClosedOtherwiseDismissesToo()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.show();
    h.viewModel->errorMessage = QStringLiteral("Failure");
    QTRY_VERIFY(view.alert() && view.alert()->isVisible());
    view.alert()->reject(); // Escape or the window's close button
    QTRY_VERIFY(h.viewModel->errorMessage.get().isEmpty());

    // Cleared elsewhere: the alert goes away without dismissing anything twice.
    h.viewModel->errorMessage = QStringLiteral("Another");
    QTRY_VERIFY(view.alert()->isVisible());
    int stores = 0;
    auto token = h.viewModel->errorMessage.subscribe([&](const QString &) { ++stores; });
    stores = 0;
    h.viewModel->dismissError();
    QTRY_VERIFY(!view.alert()->isVisible());
    QCOMPARE(stores, 1);
}

void CaptionDisplayViewTest::indicatorPulsesOnlyWhileRunningAndVisible()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(400, 200);
    view.show();
    QVERIFY(!view.isIndicatorShown());
    QVERIFY(!view.isPulseRunning());

    h.viewModel->isRunning = true;
    QTRY_VERIFY(view.isIndicatorShown());
    QVERIFY(view.isPulseRunning());

    view.hide();
    QVERIFY(!view.isPulseRunning());
    view.show();
    QVERIFY(view.isPulseRunning());

    h.viewModel->isRunning = false;
    QTRY_VERIFY(!view.isIndicatorShown());
    QVERIFY(!view.isPulseRunning());
}

void CaptionDisplayViewTest::newestLineStaysInSight()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(400, 150);
    view.show();
    h.viewModel->captionText = QString();
    QTRY_VERIFY(!view.scrollBar().isVisible());
    QCOMPARE(view.textBlock().scrollOffset(), 0);

    h.viewModel->captionText = longCaption(2000);
    QTRY_VERIFY(view.scrollBar().maximum() > 0);
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    QCOMPARE(view.textBlock().scrollOffset(), view.textBlock().maximumScrollOffset());
    const int firstEnd = view.scrollBar().maximum();

    // A reader scrolls up; the next caption brings the newest line back into sight.
    view.scrollBar().setValue(0);
    h.viewModel->captionText = longCaption(4000);
    QTRY_VERIFY(view.scrollBar().maximum() > firstEnd);
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    QCOMPARE(view.textBlock().scrollOffset(), view.textBlock().contentHeight() - view.textBlock().height());
}

void CaptionDisplayViewTest::longCaptionDrawnAsWholeLayoutWould()
{
    // Following the end, only the tail of a long caption is laid out; what is in sight is the same.
    CaptionHarness h;
    CaptionDisplayView following(*h.viewModel, h.settings);
    CaptionDisplayView whole(*h.viewModel, h.settings);
    for (CaptionDisplayView *view : { &following, &whole }) {
        view->resize(600, 220);
        view->show();
    }
    h.viewModel->captionText = longCaption(4000);
    QTRY_COMPARE(following.textBlock().text().size(), 4000);
    QTRY_COMPARE(whole.textBlock().text().size(), 4000);
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

void CaptionDisplayViewTest::scrollingUpLaysOutWholeText()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.resize(600, 220);
    view.show();
    h.viewModel->captionText = longCaption(4000);
    QTRY_VERIFY(view.textBlock().layoutStart() > 0);

    QWheelEvent up(QPointF(300, 110), view.mapToGlobal(QPointF(300, 110)), QPoint(), QPoint(0, 120), Qt::NoButton,
        Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &up);
    QCOMPARE(view.textBlock().layoutStart(), 0);
    QVERIFY(!view.textBlock().isFollowingEnd());
    // One notch up from the end of the whole text, not from the end of the tail.
    const int maximum = view.scrollBar().maximum();
    QCOMPARE(maximum, view.textBlock().maximumScrollOffset());
    QVERIFY(view.scrollBar().value() < maximum);
    QVERIFY(view.scrollBar().value() >= maximum - 3 * view.scrollBar().singleStep());
    QCOMPARE(view.textBlock().scrollOffset(), view.scrollBar().value());

    // The next caption follows the end again.
    h.viewModel->captionText = longCaption(3990);
    QTRY_VERIFY(view.textBlock().isFollowingEnd());
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
}

void CaptionDisplayViewTest::accessibilityExposesAndAnnouncesCaption()
{
    CaptionHarness h;
    CaptionDisplayView view(*h.viewModel, h.settings);
    view.show();
    QAccessible::installUpdateHandler(recordAccessibilityUpdate);
    recordedTextUpdates.clear();

    h.viewModel->captionText = QStringLiteral("first words");
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("first words"));
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&view.textBlock());
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Live captions"));
    QCOMPARE(iface->text(QAccessible::Value), QStringLiteral("first words"));
    QVERIFY(iface->textInterface());
    QCOMPARE(iface->textInterface()->characterCount(), 11);
    QCOMPARE(iface->textInterface()->text(0, 5), QStringLiteral("first"));

    h.viewModel->captionText = QStringLiteral("first words and more");
    QTRY_COMPARE(iface->text(QAccessible::Value), QStringLiteral("first words and more"));
    // The change is announced as a text update; the offscreen platform has no accessibility backend, so
    // the announcement reaches the handler only where a screen reader made accessibility active.
    if (QAccessible::isActive()) {
        QVERIFY(!recordedTextUpdates.empty());
        QCOMPARE(recordedTextUpdates.back().second, QStringLiteral("first words and more"));
    }

    QAccessible::installUpdateHandler(nullptr);
}

void CaptionDisplayViewTest::containerPassesClickThroughChangesOnly()
{
    CaptionHarness h;
    int calls = 0;
    h.viewModel->clickThrough = false;
    CaptionContainerView container(*h.viewModel, h.settings, [&] { ++calls; });
    QCOMPARE(calls, 0); // building the view is no change

    h.viewModel->clickThrough = true;
    QCOMPARE(calls, 1);
    h.viewModel->clickThrough = true; // stored again, unchanged
    QCOMPARE(calls, 1);
    h.viewModel->clickThrough = false;
    QCOMPARE(calls, 2);
}

void CaptionDisplayViewTest::containerMinimumSize()
{
    CaptionHarness h;
    CaptionContainerView container(*h.viewModel, h.settings, {});
    QCOMPARE(container.minimumSize(), QSize(320, 120));
    container.resize(100, 50);
    QCOMPARE(container.size(), QSize(320, 120));
}

QTEST_MAIN(CaptionDisplayViewTest)
#include "CaptionDisplayViewTest.moc"
