#include "views/CaptionDisplayView.h"
#include "FakeCaptioning.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"
#include "views/CaptionTextBlock.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// A caption controller on fake desktop services, a settings store in a file of its own, and the view shown.
struct Harness {
    QTemporaryDir dir;
    FakeCaptioning fakes;
    AppSettings settings { dir.filePath(u"settings.conf"_s) };
    std::unique_ptr<CaptionViewModel> model;
    std::unique_ptr<CaptionDisplayView> view;

    explicit Harness(double fontSize = 18, bool dark = true, const QString &language = u"en-US"_s)
    {
        settings.setFontSize(fontSize);
        settings.setDarkMode(dark);
        settings.setSelectedLanguage(language);
        model = std::make_unique<CaptionViewModel>(fakes.services(), settings);
        QCoreApplication::processEvents(); // the controller's first values arrive on the next turn
        view = std::make_unique<CaptionDisplayView>(*model, settings);
        view->resize(600, 220);
        view->show();
    }
};

void sendWheel(QWidget &view, int delta, Qt::KeyboardModifiers modifiers = Qt::ControlModifier)
{
    const QPointF at(view.width() / 2.0, view.height() / 2.0);
    QWheelEvent event(
        at, view.mapToGlobal(at), {}, QPoint(0, delta), Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &event);
}

void sendPinch(QWidget &view, Qt::NativeGestureType type, double value = 0)
{
    const QPointF at(view.width() / 2.0, view.height() / 2.0);
    QNativeGestureEvent event(
        type, QPointingDevice::primaryPointingDevice(), 2, at, at, view.mapToGlobal(at), value, {});
    QApplication::sendEvent(&view, &event);
}

} // namespace

class CaptionDisplayViewTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void derivedValues();
    void sizeGesturePreviewsThenStores();
    void indicatorNewestLineAndAlert();
    void announcesOnlyWhatChanged();
};

// Dark, left to right, at a size that rounds; light, right to left, at the largest size.
void CaptionDisplayViewTest::derivedValues()
{
    for (const bool rtl : { false, true }) {
        Harness h(rtl ? 1e300 : 40.5, !rtl, rtl ? u"he-IL"_s : u"en-US"_s);
        CaptionDisplayView &view = *h.view;
        h.model->captionText = u"Hello there"_s;
        QTRY_COMPARE(view.textBlock().text(), u"Hello there"_s);
        QVERIFY(!view.grab().isNull()); // painting at the largest size must not fail
        QCOMPARE(QList<QColor>({ view.backgroundColor(), view.textColor() }),
            QList<QColor>({ rtl ? Qt::white : Qt::black, rtl ? Qt::black : Qt::white }));
        const Qt::LayoutDirection direction = rtl ? Qt::RightToLeft : Qt::LeftToRight;
        QVERIFY(view.captionDirection() == direction && view.layoutDirection() == direction);
        const Qt::Alignment side = rtl ? Qt::AlignRight : Qt::AlignLeft;
        QVERIFY(view.captionAnchor() == (Qt::AlignBottom | side) && view.textAlignment() == side);
        QCOMPARE(view.indicatorCorner(), rtl ? Qt::TopLeftCorner : Qt::TopRightCorner);
        QCOMPARE(view.textBlock().textFont().pixelSize(), rtl ? 200 : 41);
    }
}

// Pinch steps are relative changes of the native zoom gesture, wheel steps Ctrl + wheel notches. A gesture
// is previewed and stored once when it ends, the wheel's when it rests.
void CaptionDisplayViewTest::sizeGesturePreviewsThenStores()
{
    Harness h;
    CaptionDisplayView &view = *h.view;
    int writes = 0;
    auto token = h.settings.objectWillChange.subscribe([&] { ++writes; });
    const auto previewed = [&](double size) {
        QVERIFY2(std::abs(view.tempFontSize() - size) < 1e-9, qPrintable(QString::number(view.tempFontSize())));
        QTRY_COMPARE(view.textBlock().textFont().pixelSize(), int(std::lround(size ? size : h.settings.fontSize())));
    };
    const auto stored = [&](double size, int count) {
        QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - size) < 1e-9 && view.tempFontSize() == 0, 5000);
        QCOMPARE(writes, count);
    };
    const auto pinch = [&](std::initializer_list<double> steps) {
        sendPinch(view, Qt::BeginNativeGesture);
        for (double step : steps)
            sendPinch(view, Qt::ZoomNativeGesture, step);
    };
    pinch({ 0.004, 0.004 }); // below the threshold: nothing
    previewed(0);
    sendPinch(view, Qt::EndNativeGesture);
    stored(18, 0);
    pinch({ 0.25, 0.2 });
    previewed(27); // 18 * 1.25 * 1.2
    QCOMPARE(writes, 0);
    sendPinch(view, Qt::EndNativeGesture);
    stored(27, 1);
    // Past the largest size, the first notch back is seen at once.
    for (int notch = 0; notch < 60; ++notch)
        sendWheel(view, 120);
    sendWheel(view, -120);
    previewed(200 / 1.1);
    QCOMPARE(writes, 1);
    stored(200 / 1.1, 2);
    sendWheel(view, -120); // the next gesture starts from the stored size
    stored(200 / 1.1 / 1.1, 3);
}

void CaptionDisplayViewTest::indicatorNewestLineAndAlert()
{
    Harness h;
    CaptionDisplayView &view = *h.view;
    QVERIFY(!view.isIndicatorShown() && !view.isPulseRunning());
    // Until captions first start, the empty overlay says how to start them.
    QCOMPARE(view.textBlock().text(), CaptionDisplayView::startHint());
    // The microphone shows only while a microphone is captioned, not the computer's sound; its corner stays
    // free of text.
    for (const AudioSource &source : { AudioSource::system(), AudioSource::input(u"mic"_s) }) {
        h.settings.setAudioSource(source);
        for (bool running : { true, false }) {
            h.model->isRunning = running;
            const bool shown = running && !source.isSystem();
            QTRY_COMPARE(view.isIndicatorShown(), shown);
            QCOMPARE(view.isPulseRunning(), shown);
            QCOMPARE(view.textBlock().textTop() > view.indicatorRect().bottom(), shown);
            view.hide();
            QVERIFY(!view.isPulseRunning());
            view.show();
        }
    }
    QCOMPARE(view.textBlock().text(), QString());
    // The newest line stays in sight.
    CaptionTextBlock &block = view.textBlock();
    h.model->captionText = u"word "_s.repeated(800);
    QTRY_VERIFY(block.layoutStart() > 0 && !view.isScrollAnimating()); // following the end, only the tail is laid out
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    // Scrolling up lays out the whole text and moves one notch up from its end, not the tail's.
    sendWheel(view, 120, Qt::NoModifier);
    QVERIFY(block.layoutStart() == 0 && !block.isFollowingEnd());
    const int maximum = block.maximumScrollOffset(), value = view.scrollBar().value();
    QVERIFY(view.scrollBar().maximum() == maximum && value < maximum
        && value >= maximum - 3 * view.scrollBar().singleStep());
    QCOMPARE(block.scrollOffset(), value);
    // The next caption brings the newest line back into sight.
    h.model->captionText = u"word "_s.repeated(820);
    QTRY_VERIFY(block.isFollowingEnd() && !view.isScrollAnimating());
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    QCOMPARE(block.scrollOffset(), block.contentHeight() - block.height());
    h.model->captionText = QString();
    QTRY_VERIFY(!view.scrollBar().isVisible());
    QCOMPARE(block.scrollOffset(), 0);
    // What captions wait for takes a line of its own under them.
    h.model->captionText = u"Hello."_s;
    QTRY_COMPARE(block.text(), u"Hello."_s);
    const int oneLine = block.contentHeight();
    h.model->waitingText = u"Waiting for Video\u2026"_s;
    QTRY_COMPARE(block.text(), u"Hello.\nWaiting for Video\u2026"_s);
    QVERIFY2(block.contentHeight() >= oneLine + 18, qPrintable(QString::number(oneLine)));
    // A host name, an address or a path in an alert is never broken over lines: the alert is as wide as they
    // need, not as narrow as its title line.
    QVERIFY(!h.view->alert());
    h.model->errorMessage = u"Short."_s;
    QTRY_VERIFY(h.view->alert() && h.view->alert()->isVisible());
    QMessageBox *alert = h.view->alert();
    const QString text = u"Sonorel could not connect to the sound server, so captions could not start. "
                         u"(PulseAudio 6: tcp:sound-server.living-room.example.org:4713)"_s;
    h.model->errorMessage = text; // in the alert already shown
    QTRY_COMPARE(alert->text(), text);
    QVERIFY(alert->width() < alert->screen()->availableGeometry().width()); // else it breaks words anywhere
    for (const QLabel *label : alert->findChildren<QLabel *>()) {
        for (const QString &word : label->text().split(QRegularExpression(u"\\s+"_s), Qt::SkipEmptyParts))
            QVERIFY2(label->fontMetrics().horizontalAdvance(word) <= label->contentsRect().width(), qPrintable(word));
    }
    // Dismissed by "OK", then a new error, dismissed by Escape or the window's close button.
    alert->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(h.model->errorMessage.get().isEmpty() && !alert->isVisible());
    h.model->errorMessage = u"Second"_s;
    QTRY_VERIFY((alert = h.view->alert()) && alert->isVisible() && alert->text() == u"Second"_s);
    alert->reject();
    QTRY_VERIFY(h.model->errorMessage.get().isEmpty() && !alert->isVisible());
}

// What a screen reader is told of a new caption (before, after): only the part that changed.
void CaptionDisplayViewTest::announcesOnlyWhatChanged()
{
    using C = CaptionTextBlock::TextChange;
    const std::tuple<QString, QString, QList<C>> rows[] = {
        { u"and then"_s, u"and then the bridge"_s, { { C::Insert, 8, u" the bridge"_s } } },
        { u"the bridge would bee"_s, u"the bridge would be built"_s,
            { { C::Remove, 19, u"e"_s }, { C::Insert, 19, u" built"_s } } },
        { u"First sentence here. The second one is longer than thirty-two characters."_s,
            u"The second one is longer than thirty-two characters. A third."_s,
            { { C::Remove, 0, u"First sentence here. "_s }, { C::Insert, 52, u" A third."_s } } },
        { u"old words"_s, u"new words"_s, { { C::Replace, 0, u"new words"_s } } },
    };
    for (const auto &[before, after, announced] : rows)
        QVERIFY2(CaptionTextBlock::changesBetween(before, after) == announced, qPrintable(after));
}

QTEST_MAIN(CaptionDisplayViewTest)
#include "CaptionDisplayViewTest.moc"
