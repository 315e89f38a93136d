#include "AppCommands.h"
#include "MenuActionsContent.h"
#include "MenuBarView.h"
#include "ObjectWillChange.h"
#include "OverlayMenuButton.h"
#include "Published.h"

#include <QAction>
#include <QEnterEvent>
#include <QMenu>
#include <QTest>

namespace {

// Records the commands that the menus call; its state is whatever the test sets.
class RecordingApp final : public AppCommands
{
public:
    ObjectWillChange willChange;
    Published<bool> running { false, &willChange };
    Published<bool> clickThrough { false, &willChange };
    bool visible = true;
    QStringList calls;

    ObjectWillChange &appWillChange() override { return willChange; }
    bool captionsRunning() const override { return running.get(); }
    bool clickThroughEnabled() const override { return clickThrough.get(); }
    bool overlayVisible() const override { return visible; }
    void startCaptions() override { calls << QStringLiteral("startCaptions"); }
    void stopCaptions() override { calls << QStringLiteral("stopCaptions"); }
    void toggleOverlayVisibility() override
    {
        calls << QStringLiteral("toggleOverlayVisibility");
        visible = !visible;
    }
    void toggleClickThrough() override
    {
        calls << QStringLiteral("toggleClickThrough");
        clickThrough = !clickThrough.get();
    }
    void showSettings() override { calls << QStringLiteral("showSettings"); }
    void showAbout() override { calls << QStringLiteral("showAbout"); }
    void sendFeedback() override { calls << QStringLiteral("sendFeedback"); }
    void followOnX() override { calls << QStringLiteral("followOnX"); }
    void followOnYouTube() override { calls << QStringLiteral("followOnYouTube"); }
    void checkForUpdates() override { calls << QStringLiteral("checkForUpdates"); }
    void quit() override { calls << QStringLiteral("quit"); }
};

QStringList expectedLabels(const QString &first, const QString &second, const QString &third)
{
    return { first, second, third, QStringLiteral("-"), QStringLiteral("Settings..."), QStringLiteral("-"),
        QStringLiteral("About"), QStringLiteral("Send Feedback"), QStringLiteral("-"), QStringLiteral("Follow on X"),
        QStringLiteral("Follow on YouTube"), QStringLiteral("-"), QStringLiteral("Check for Updates"),
        QStringLiteral("-"), QStringLiteral("Quit") };
}

QAction *actionLabelled(QMenu &menu, const QString &label)
{
    for (QAction *action : menu.actions()) {
        if (action->text() == label)
            return action;
    }
    return nullptr;
}

} // namespace

class MenuTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void labelsInEveryState_data();
    void labelsInEveryState();
    void itemsArePlainButtons();
    void itemsCallTheirCommands_data();
    void itemsCallTheirCommands();
    void labelsFollowStateWithoutOpening();
    void labelsRebuiltWhenMenuOpens();
    void staleLabelDoesWhatItSaid();
    void overlayButtonIsRoundAndHoverSensitive();
};

void MenuTest::labelsInEveryState_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("clickThrough");
    QTest::addColumn<QStringList>("labels");
    for (bool running : { false, true }) {
        for (bool visible : { false, true }) {
            for (bool clickThrough : { false, true }) {
                const QString first = running ? QStringLiteral("Stop Captions") : QStringLiteral("Start Captions");
                const QString second = visible ? QStringLiteral("Hide Overlay") : QStringLiteral("Show Overlay");
                const QString third = clickThrough ? QStringLiteral("Interact") : QStringLiteral("Click-Through");
                QTest::addRow("running=%d visible=%d clickThrough=%d", running, visible, clickThrough)
                    << running << visible << clickThrough << expectedLabels(first, second, third);
            }
        }
    }
}

void MenuTest::labelsInEveryState()
{
    QFETCH(bool, running);
    QFETCH(bool, visible);
    QFETCH(bool, clickThrough);
    QFETCH(QStringList, labels);
    RecordingApp app;
    app.running = running;
    app.visible = visible;
    app.clickThrough = clickThrough;

    // Both places show the same list.
    MenuBarView tray(app);
    QCOMPARE(MenuActionsContent::itemLabels(tray), labels);
    OverlayMenuButton button(app);
    QCOMPARE(MenuActionsContent::itemLabels(button.menu()), labels);
}

void MenuTest::itemsArePlainButtons()
{
    RecordingApp app;
    MenuBarView tray(app);
    for (const QAction *action : tray.actions()) {
        QVERIFY(action->isEnabled());
        QVERIFY(!action->isCheckable());
        QVERIFY(action->shortcut().isEmpty());
    }
}

void MenuTest::itemsCallTheirCommands_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("clickThrough");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("command");
    QTest::newRow("start") << false << false << QStringLiteral("Start Captions") << QStringLiteral("startCaptions");
    QTest::newRow("stop") << true << false << QStringLiteral("Stop Captions") << QStringLiteral("stopCaptions");
    QTest::newRow("hide") << false << false << QStringLiteral("Hide Overlay")
                          << QStringLiteral("toggleOverlayVisibility");
    QTest::newRow("click-through") << false << false << QStringLiteral("Click-Through")
                                   << QStringLiteral("toggleClickThrough");
    QTest::newRow("interact") << false << true << QStringLiteral("Interact") << QStringLiteral("toggleClickThrough");
    QTest::newRow("settings") << false << false << QStringLiteral("Settings...") << QStringLiteral("showSettings");
    QTest::newRow("about") << false << false << QStringLiteral("About") << QStringLiteral("showAbout");
    QTest::newRow("feedback") << false << false << QStringLiteral("Send Feedback") << QStringLiteral("sendFeedback");
    QTest::newRow("x") << false << false << QStringLiteral("Follow on X") << QStringLiteral("followOnX");
    QTest::newRow("youtube") << false << false << QStringLiteral("Follow on YouTube")
                             << QStringLiteral("followOnYouTube");
    QTest::newRow("updates") << false << false << QStringLiteral("Check for Updates")
                             << QStringLiteral("checkForUpdates");
    QTest::newRow("quit") << false << false << QStringLiteral("Quit") << QStringLiteral("quit");
}

void MenuTest::itemsCallTheirCommands()
{
    QFETCH(bool, running);
    QFETCH(bool, clickThrough);
    QFETCH(QString, label);
    QFETCH(QString, command);
    RecordingApp app;
    app.running = running;
    app.clickThrough = clickThrough;
    OverlayMenuButton button(app);
    QAction *action = actionLabelled(button.menu(), label);
    QVERIFY(action);
    action->trigger();
    QTRY_COMPARE(app.calls, QStringList { command });
}

void MenuTest::labelsFollowStateWithoutOpening()
{
    // The controller stopping by itself turns "Stop Captions" back into "Start Captions".
    RecordingApp app;
    app.running = true;
    MenuBarView tray(app);
    QCOMPARE(tray.actions().at(0)->text(), QStringLiteral("Stop Captions"));
    app.running = false;
    QTRY_COMPARE(tray.actions().at(0)->text(), QStringLiteral("Start Captions"));
    app.clickThrough = true;
    QTRY_COMPARE(tray.actions().at(2)->text(), QStringLiteral("Interact"));
}

void MenuTest::labelsRebuiltWhenMenuOpens()
{
    // The overlay's visibility is not announced; the label is read when the menu opens.
    RecordingApp app;
    MenuBarView tray(app);
    QCOMPARE(tray.actions().at(1)->text(), QStringLiteral("Hide Overlay"));
    app.visible = false;
    Q_EMIT tray.aboutToShow();
    QCOMPARE(tray.actions().at(1)->text(), QStringLiteral("Show Overlay"));
    QCOMPARE(tray.actions().size(), 15);
}

void MenuTest::staleLabelDoesWhatItSaid()
{
    RecordingApp app;
    MenuBarView tray(app);
    QAction *hide = tray.actions().at(1);
    QCOMPARE(hide->text(), QStringLiteral("Hide Overlay"));
    app.visible = false; // hidden by other means while the menu was open
    hide->trigger();
    QVERIFY(app.calls.isEmpty());
}

void MenuTest::overlayButtonIsRoundAndHoverSensitive()
{
    RecordingApp app;
    QWidget window;
    OverlayMenuButton button(app, &window);
    window.show();
    QCOMPARE(button.size(), QSize(32, 32));
    QCOMPARE(button.sizeHint(), QSize(32, 32));
    QVERIFY(!button.hovering());
    const QImage rest = button.grab().toImage();

    QEnterEvent enter(QPointF(16, 16), QPointF(16, 16), button.mapToGlobal(QPointF(16, 16)));
    QApplication::sendEvent(&button, &enter);
    QVERIFY(button.hovering());
    QVERIFY(button.grab().toImage() != rest);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    QVERIFY(!button.hovering());
    QCOMPARE(button.grab().toImage(), rest);
    // Drawn on nothing, its corners stay clear: the circle is all there is.
    QImage alone(button.size(), QImage::Format_ARGB32_Premultiplied);
    alone.fill(Qt::transparent);
    button.render(&alone, QPoint(), QRegion(), QWidget::DrawChildren);
    QCOMPARE(qAlpha(alone.pixel(0, 0)), 0);
    QVERIFY(qAlpha(alone.pixel(16, 16)) > 0);
}

QTEST_MAIN(MenuTest)
#include "MenuTest.moc"
