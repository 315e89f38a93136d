#include "views/CaptionDisplayView.h"
#include "FakeCaptioning.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"
#include "views/CaptionTextBlock.h"
#include "views/MessageBoxUpdatePresenter.h"

#include <QAbstractButton>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QNativeGestureEvent>
#include <QPointingDevice>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

// A caption controller on fake desktop services, a settings store in a file of its own, and the view shown.
struct Harness {
    QTemporaryDir dir;
    FakeCaptioning fakes;
    AppSettings settings { dir.filePath(QStringLiteral("settings.conf")) };
    std::unique_ptr<CaptionViewModel> model;
    std::unique_ptr<CaptionDisplayView> view;

    explicit Harness(double fontSize = 18, bool dark = true, const QString &language = QStringLiteral("en-US"))
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

QString longCaption(int characters)
{
    QString text;
    for (int word = 0; text.size() < characters; ++word)
        text += QStringLiteral("word%1 ").arg(word);
    return text.left(characters);
}

// The words of an alert's texts that are not shown whole on one line. A box as wide as the screen breaks
// its words anywhere, so all of them count as broken then.
QStringList brokenWords(const QMessageBox &box)
{
    QStringList broken;
    for (const QLabel *label : box.findChildren<QLabel *>()) {
        const QString text = label->text();
        const int width = label->contentsRect().width();
        QTextLayout layout(text, label->font());
        QTextOption option;
        option.setWrapMode(label->wordWrap() ? QTextOption::WordWrap : QTextOption::NoWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
            line.setLineWidth(width);
        layout.endLayout();
        for (const auto &word : QRegularExpression(QStringLiteral("\\S+")).globalMatch(text)) {
            const int first = layout.lineForTextPosition(int(word.capturedStart())).lineNumber();
            const int last = layout.lineForTextPosition(int(word.capturedEnd()) - 1).lineNumber();
            if (first != last || QFontMetrics(label->font()).horizontalAdvance(word.captured()) > width
                || box.width() >= box.screen()->availableGeometry().width())
                broken << word.captured();
        }
    }
    return broken;
}

} // namespace

class CaptionDisplayViewTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void derivedValues_data();
    void derivedValues();
    void sizeGesturePreviewsThenStores_data();
    void sizeGesturePreviewsThenStores();
    void errorAlertShownDismissedAndShownAgain();
    void updateFailureKeepsWordsWhole();
    void indicatorPulsesOnlyWhileRunningAndVisible();
    void newestLineStaysInSight();
    void announcesOnlyWhatChanged_data();
    void announcesOnlyWhatChanged();
};

void CaptionDisplayViewTest::derivedValues_data()
{
    // A font size is stored and drawn within what can be drawn.
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("rightToLeft");
    QTest::addColumn<double>("fontSize");
    QTest::addColumn<int>("pixels"); // the store reads a size that is not finite as its default
    QTest::newRow("dark en-US") << true << QStringLiteral("en-US") << false << 40.5 << 41;
    QTest::newRow("light en-US zero") << false << QStringLiteral("en-US") << false << 0.0 << 6;
    QTest::newRow("dark ar-SA absurd") << true << QStringLiteral("ar-SA") << true << 1e300 << 200;
    QTest::newRow("light he-IL nan") << false << QStringLiteral("he-IL") << true << std::nan("") << 18;
}

void CaptionDisplayViewTest::derivedValues()
{
    QFETCH(bool, dark);
    QFETCH(QString, language);
    QFETCH(bool, rightToLeft);
    QFETCH(double, fontSize);
    QFETCH(int, pixels);
    Harness h(fontSize, dark, language);
    CaptionDisplayView &view = *h.view;
    h.model->captionText = QStringLiteral("Hello there");
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("Hello there"));
    QVERIFY(!view.grab().isNull()); // painting with an absurd size must not fail
    QCOMPARE(QList<QColor>({ view.backgroundColor(), view.textColor() }),
        QList<QColor>({ dark ? Qt::black : Qt::white, dark ? Qt::white : Qt::black }));
    const Qt::LayoutDirection direction = rightToLeft ? Qt::RightToLeft : Qt::LeftToRight;
    QVERIFY(view.captionDirection() == direction && view.layoutDirection() == direction);
    const Qt::Alignment side = rightToLeft ? Qt::AlignRight : Qt::AlignLeft;
    QCOMPARE(view.captionAnchor(), Qt::AlignBottom | side);
    QCOMPARE(view.textAlignment(), side);
    QCOMPARE(view.indicatorCorner(), rightToLeft ? Qt::TopLeftCorner : Qt::TopRightCorner);
    QCOMPARE(view.indicatorRect().top(), 8); // 8 in from its corner
    QCOMPARE(rightToLeft ? view.indicatorRect().left() : view.indicatorRect().right(), rightToLeft ? 8 : 600 - 9);
    QCOMPARE(view.textBlock().textFont().pixelSize(), pixels);
    QCOMPARE(view.textBlock().textFont().weight(), QFont::Medium);
    // Where translucent pixels would show black (no compositor), the background is drawn opaque, corners too.
    view.setTranslucencyShown(false);
    QCOMPARE(view.grab().toImage().pixelColor(1, 1), view.backgroundColor());
}

void CaptionDisplayViewTest::sizeGesturePreviewsThenStores_data()
{
    // Pinch steps are relative changes of the native zoom gesture; wheel steps are Ctrl + wheel notches.
    QTest::addColumn<bool>("wheel");
    QTest::addColumn<QList<double>>("steps");
    QTest::addColumn<double>("size");
    QTest::newRow("pinch") << false << QList<double> { 0.25, 0.2 } << 27.0; // 1.25 * 1.2
    QTest::newRow("pinch below threshold") << false << QList<double> { 0.004, 0.004 } << 18.0;
    QTest::newRow("wheel down") << true << QList<double> { -120 } << 18.0 / 1.1;
    // Past the largest size, the first notch back is seen at once.
    QList<double> farUp(60, 120);
    farUp << -120;
    QTest::newRow("wheel far up and back") << true << farUp << 200 / 1.1;
}

void CaptionDisplayViewTest::sizeGesturePreviewsThenStores()
{
    QFETCH(bool, wheel);
    QFETCH(QList<double>, steps);
    QFETCH(double, size);
    Harness h;
    CaptionDisplayView &view = *h.view;
    int writes = 0;
    auto token = h.settings.objectWillChange.subscribe([&] { ++writes; });
    if (!wheel)
        sendPinch(view, Qt::BeginNativeGesture);
    for (double step : steps) {
        if (wheel)
            sendWheel(view, int(step));
        else
            sendPinch(view, Qt::ZoomNativeGesture, step);
    }
    const bool changes = size != 18.0;
    QVERIFY(std::abs(view.tempFontSize() - (changes ? size : 0.0)) < 1e-9);
    QTRY_COMPARE(view.textBlock().textFont().pixelSize(), int(std::lround(size)));
    QCOMPARE(writes, 0);
    if (!wheel)
        sendPinch(view, Qt::EndNativeGesture);
    // The wheel's gesture ends when it rests.
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - size) < 1e-9 && view.tempFontSize() == 0, 5000);
    QCOMPARE(writes, changes ? 1 : 0);
    QCOMPARE(view.effectiveFontSize(), h.settings.fontSize());
    if (!wheel)
        return;
    // The next gesture starts from the stored size.
    sendWheel(view, 120);
    QTRY_VERIFY_WITH_TIMEOUT(std::abs(h.settings.fontSize() - size * 1.1) < 1e-9, 5000);
}

// A host name, an address or a path in an alert is never broken over lines: the alert is as wide as they
// need, not as narrow as its title line.
void CaptionDisplayViewTest::errorAlertShownDismissedAndShownAgain()
{
    Harness h;
    QVERIFY(!h.view->alert());
    h.model->errorMessage = QStringLiteral("Short.");
    QTRY_VERIFY(h.view->alert() && h.view->alert()->isVisible());
    QMessageBox *alert = h.view->alert();
    // A longer text in the alert already shown.
    const QString text = QStringLiteral("Sonorel could not connect to the sound server, so captions could not start. "
                                        "(PulseAudio 6: tcp:sound-server.living-room.example.org:4713)");
    h.model->errorMessage = text;
    QTRY_COMPARE(alert->text(), text);
    QCOMPARE(brokenWords(*alert), QStringList());
    // Dismissed by "OK", then a new error, dismissed by Escape or the window's close button.
    alert->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(h.model->errorMessage.get().isEmpty() && !alert->isVisible());
    h.model->errorMessage = QStringLiteral("Second");
    QTRY_VERIFY((alert = h.view->alert()) && alert->isVisible() && alert->text() == QStringLiteral("Second"));
    alert->reject();
    QTRY_VERIFY(h.model->errorMessage.get().isEmpty() && !alert->isVisible());
}

void CaptionDisplayViewTest::updateFailureKeepsWordsWhole()
{
    MessageBoxUpdatePresenter presenter;
    QStringList broken { QStringLiteral("(no alert)") };
    QTimer::singleShot(0, [&broken] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(window); box && box->isVisible()) {
                broken = brokenWords(*box);
                box->done(0);
            }
        }
    });
    presenter.runModal({ UpdateAlert::Style::critical, QStringLiteral("Update failed"),
        QStringLiteral("Host updates.sonorel-downloads.example.com not found"), { QStringLiteral("OK") } });
    QCOMPARE(broken, QStringList());
}

void CaptionDisplayViewTest::indicatorPulsesOnlyWhileRunningAndVisible()
{
    Harness h;
    // The caption is drawn in a face that really is medium, not a regular one standing in for it.
    QCOMPARE(QFontInfo(h.view->textBlock().textFont()).styleName(), QStringLiteral("Medium"));
    QVERIFY(!h.view->isIndicatorShown() && !h.view->isPulseRunning());
    // Until captions first start, the empty overlay says how to start them.
    QCOMPARE(h.view->textBlock().text(), CaptionDisplayView::startHint());
    // The microphone shows only while a microphone is captioned, not the computer's sound.
    for (const AudioSource &source : { AudioSource::system(), AudioSource::input(QStringLiteral("mic")) }) {
        h.settings.setAudioSource(source);
        const bool microphone = !source.isSystem();
        for (bool running : { true, false }) {
            h.model->isRunning = running;
            QTRY_COMPARE(h.view->isIndicatorShown(), running && microphone);
            QCOMPARE(h.view->isPulseRunning(), running && microphone);
            // The microphone's corner stays free of text: the text starts below it at every scroll position.
            QCOMPARE(h.view->textBlock().textTop() > h.view->indicatorRect().bottom(), running && microphone);
            h.view->hide();
            QVERIFY(!h.view->isPulseRunning());
            h.view->show();
            QCOMPARE(h.view->isPulseRunning(), running && microphone);
        }
    }
    QCOMPARE(h.view->textBlock().text(), QString());
}

void CaptionDisplayViewTest::newestLineStaysInSight()
{
    Harness h;
    CaptionDisplayView &view = *h.view;
    CaptionDisplayView whole(*h.model, h.settings);
    whole.resize(600, 220);
    whole.show();
    h.model->captionText = longCaption(4000);
    QTRY_VERIFY(view.textBlock().layoutStart() > 0 && whole.textBlock().text().size() == 4000);
    QTRY_VERIFY(!view.isScrollAnimating() && !whole.isScrollAnimating());
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    // Following the end, only the tail is laid out, and the estimated height of what lies before the tail is
    // close to the real one. (Its lines may break at other words than the whole text's: a tail starts at
    // a word, not at one of the whole text's line breaks.)
    whole.textBlock().setFollowingEnd(false);
    whole.scrollBar().setValue(whole.scrollBar().maximum());
    QCOMPARE(whole.textBlock().layoutStart(), 0);
    const int estimated = view.textBlock().contentHeight();
    const int exact = whole.textBlock().contentHeight();
    QVERIFY2(
        std::abs(estimated - exact) < exact / 10, qPrintable(QStringLiteral("%1 vs %2").arg(estimated).arg(exact)));

    // Scrolling up lays out the whole text and moves one notch up from its end, not the tail's.
    sendWheel(view, 120, Qt::NoModifier);
    QCOMPARE(view.textBlock().layoutStart(), 0);
    QVERIFY(!view.textBlock().isFollowingEnd());
    const int maximum = view.scrollBar().maximum();
    QCOMPARE(maximum, view.textBlock().maximumScrollOffset());
    QVERIFY(view.scrollBar().value() < maximum);
    QVERIFY(view.scrollBar().value() >= maximum - 3 * view.scrollBar().singleStep());
    QCOMPARE(view.textBlock().scrollOffset(), view.scrollBar().value());

    // The next caption brings the newest line back into sight, gliding there through several steps.
    QList<int> steps;
    connect(&view.scrollBar(), &QScrollBar::valueChanged, this, [&](int value) { steps.append(value); });
    h.model->captionText = longCaption(4100);
    QTRY_VERIFY(view.textBlock().isFollowingEnd() && !view.isScrollAnimating());
    QVERIFY2(steps.size() > 2 && std::is_sorted(steps.begin(), steps.end()), qPrintable(QString::number(steps.size())));
    QCOMPARE(view.scrollBar().value(), view.scrollBar().maximum());
    QCOMPARE(view.textBlock().scrollOffset(), view.textBlock().contentHeight() - view.textBlock().height());
    h.model->captionText = QString();
    QTRY_VERIFY(!view.scrollBar().isVisible());
    QCOMPARE(view.textBlock().scrollOffset(), 0);

    // What captions wait for takes a line of its own under them.
    h.model->captionText = QStringLiteral("Hello.");
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("Hello."));
    const int oneLine = view.textBlock().contentHeight();
    h.model->waitingText = QStringLiteral("Waiting for Video\u2026");
    QTRY_COMPARE(view.textBlock().text(), QStringLiteral("Hello.\nWaiting for Video\u2026"));
    QVERIFY2(view.textBlock().contentHeight() >= oneLine + 18, qPrintable(QString::number(oneLine))); // a second line
}

void CaptionDisplayViewTest::announcesOnlyWhatChanged_data()
{
    using C = CaptionTextBlock::TextChange;
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QList<C>>("announced");
    QTest::newRow("words added") << "and then"
                                 << "and then the bridge"
                                 << QList<C> { { C::Insert, 8, QStringLiteral(" the bridge") } };
    QTest::newRow("last word revised") << "the bridge would bee"
                                       << "the bridge would be built"
                                       << QList<C> { { C::Remove, 19, QStringLiteral("e") },
                                              { C::Insert, 19, QStringLiteral(" built") } };
    QTest::newRow("old sentence trimmed from the front")
        << "First sentence here. The second one is longer than thirty-two characters."
        << "The second one is longer than thirty-two characters. A third."
        << QList<C> { { C::Remove, 0, QStringLiteral("First sentence here. ") },
               { C::Insert, 52, QStringLiteral(" A third.") } };
    QTest::newRow("nothing shared") << "old words"
                                    << "new words" << QList<C> { { C::Replace, 0, QStringLiteral("new words") } };
}

void CaptionDisplayViewTest::announcesOnlyWhatChanged()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(QList<CaptionTextBlock::TextChange>, announced);
    QCOMPARE(CaptionTextBlock::changesBetween(before, after), announced);
}

QTEST_MAIN(CaptionDisplayViewTest)
#include "CaptionDisplayViewTest.moc"
