#include "base/ObjectWillChange.h"
#include "base/Published.h"
#include "views/AppCommands.h"
#include "views/MenuActionsContent.h"
#include "views/MenuBarView.h"
#include "views/OverlayMenuButton.h"

#include "settings/AppSettings.h"
#include "views/SettingsView.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

namespace {

// Records the commands that the menus call; its state is whatever the test sets.
class RecordingApp final : public AppCommands
{
public:
    ObjectWillChange willChange;
    Published<bool> running { false, &willChange };
    Published<bool> clickThrough { false, &willChange };
    bool visible = true;
    bool transcript = false;
    QStringList calls;

    ObjectWillChange &appWillChange() override { return willChange; }
    bool captionsRunning() const override { return running.get(); }
    bool clickThroughEnabled() const override { return clickThrough.get(); }
    bool overlayVisible() const override { return visible; }
    bool hasTranscript() const override { return transcript; }
    void startCaptions() override { calls << QStringLiteral("startCaptions"); }
    void stopCaptions() override { calls << QStringLiteral("stopCaptions"); }
    void toggleOverlayVisibility() override { calls << QStringLiteral("toggleOverlayVisibility"); }
    void toggleClickThrough() override { calls << QStringLiteral("toggleClickThrough"); }
    void saveTranscript() override { calls << QStringLiteral("saveTranscript"); }
    void showSettings() override { calls << QStringLiteral("showSettings"); }
    void showAbout() override { calls << QStringLiteral("showAbout"); }
    void sendFeedback() override { calls << QStringLiteral("sendFeedback"); }
    void followOnX() override { calls << QStringLiteral("followOnX"); }
    void followOnYouTube() override { calls << QStringLiteral("followOnYouTube"); }
    void checkForUpdates() override { calls << QStringLiteral("checkForUpdates"); }
    void quit() override { calls << QStringLiteral("quit"); }
    AudioSource source;
    AudioCaptureService::ContentHandler watcher;
    std::weak_ptr<void> watch;
    AudioSource audioSource() const override { return source; }
    void setAudioSource(const AudioSource &value) override { source = value; }
    std::shared_ptr<void> watchAudioSources(AudioCaptureService::ContentHandler handler) override
    {
        watcher = std::move(handler);
        auto token = std::make_shared<int>();
        watch = token;
        return token;
    }
};

} // namespace

class MenuTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void labelsInEveryState_data();
    void labelsInEveryState();
    void labelsFollowState();
    void captionFromFollowsTheSources();
    void textsAreTranslatable();
};

void MenuTest::labelsInEveryState_data()
{
    // Each state on in one row and off in the other, so that every label is seen both ways and no two
    // states can stand in for each other.
    QTest::addColumn<int>("state"); // bits: running, visible, click-through, transcript
    QTest::newRow("running, click-through") << 0b0101;
    QTest::newRow("visible, transcript") << 0b1010;
}

void MenuTest::labelsInEveryState()
{
    QFETCH(int, state);
    RecordingApp app;
    app.running = bool(state & 1);
    app.visible = bool(state & 2);
    app.clickThrough = bool(state & 4);
    app.transcript = bool(state & 8);
    const QStringList labels { app.running ? QStringLiteral("Stop Captions") : QStringLiteral("Start Captions"),
        app.visible ? QStringLiteral("Hide Overlay") : QStringLiteral("Show Overlay"),
        app.clickThrough ? QStringLiteral("Interact") : QStringLiteral("Click-Through"), QStringLiteral("Caption From"),
        QStringLiteral("-"), QStringLiteral("Save Transcript..."), QStringLiteral("-"), QStringLiteral("Settings..."),
        QStringLiteral("-"), QStringLiteral("About"), QStringLiteral("Send Feedback"), QStringLiteral("-"),
        QStringLiteral("Follow on X"), QStringLiteral("Follow on YouTube"), QStringLiteral("-"),
        QStringLiteral("Check for Updates"), QStringLiteral("-"), QStringLiteral("Quit") };
    // Both places show the same list of plain buttons, all enabled but "Save Transcript..." without text.
    MenuBarView tray(app);
    OverlayMenuButton button(app);
    QCOMPARE(MenuActionsContent::itemLabels(tray), labels);
    QCOMPARE(MenuActionsContent::itemLabels(button.menu()), labels);
    // Each item calls its command.
    for (QAction *action : button.menu().actions()) {
        QCOMPARE(action->isEnabled(), action->text() != QStringLiteral("Save Transcript...") || app.transcript);
        if (!action->menu())
            action->trigger();
    }
    const QString captions = app.running ? QStringLiteral("stopCaptions") : QStringLiteral("startCaptions");
    QTRY_COMPARE(app.calls,
        (QStringList { captions, QStringLiteral("toggleOverlayVisibility"), QStringLiteral("toggleClickThrough") }
            + (app.transcript ? QStringList { QStringLiteral("saveTranscript") } : QStringList())
            + QStringList { QStringLiteral("showSettings"), QStringLiteral("showAbout"), QStringLiteral("sendFeedback"),
                QStringLiteral("followOnX"), QStringLiteral("followOnYouTube"), QStringLiteral("checkForUpdates"),
                QStringLiteral("quit") }));
}

void MenuTest::labelsFollowState()
{
    RecordingApp app;
    app.running = true;
    MenuBarView tray(app);
    QCOMPARE(tray.actions().at(0)->text(), QStringLiteral("Stop Captions"));
    // Captions that stop by themselves, and click-through, are announced: the labels follow at once.
    app.running = false;
    QTRY_COMPARE(tray.actions().at(0)->text(), QStringLiteral("Start Captions"));
    app.clickThrough = true;
    QTRY_COMPARE(tray.actions().at(2)->text(), QStringLiteral("Interact"));

    // The overlay hidden by other means while the menu was open: the stale label does what it said.
    QAction *hide = tray.actions().at(1);
    app.visible = false;
    hide->trigger();
    QVERIFY(app.calls.isEmpty());
    // Visibility is not announced; the labels are rebuilt when the menu opens.
    Q_EMIT tray.aboutToShow();
    QCOMPARE(tray.actions().at(1)->text(), QStringLiteral("Show Overlay"));
    // Text to save comes without an announcement too.
    QVERIFY(!tray.actions().at(5)->isEnabled());
    app.transcript = true;
    Q_EMIT tray.aboutToShow();
    QVERIFY(tray.actions().at(5)->isEnabled());
}

// The submenu lists the sources while it is open, follows the server, marks the current one, and
// keeps a chosen application that plays nothing now.
void MenuTest::captionFromFollowsTheSources()
{
    RecordingApp app;
    app.source = AudioSource::application(QStringLiteral("Talker"));
    MenuBarView tray(app);
    QMenu *from = tray.actions().at(3)->menu();
    QVERIFY(from);
    const auto shown = [from] {
        QStringList rows;
        for (const QAction *action : from->actions())
            rows << action->text() + (action->isChecked() ? u'*' : u' ') + (action->isEnabled() ? u' ' : u'#');
        return rows;
    };
    Q_EMIT from->aboutToShow();
    QVERIFY(app.watcher);
    QCOMPARE(shown(),
        QStringList({ QStringLiteral("All System Sound  "), QStringLiteral("Applications #"),
            QStringLiteral("Talker (not playing)* ") }));
    app.watcher(AudioCaptureContent { { QStringLiteral("sink") },
        { { QStringLiteral("Music"), QString() }, { QStringLiteral("Talker"), QString() } },
        { { QStringLiteral("alsa_input.usb"), QStringLiteral("Desk Microphone") } } });
    QCOMPARE(shown(),
        QStringList({ QStringLiteral("All System Sound  "), QStringLiteral("Applications #"), QStringLiteral("Music  "),
            QStringLiteral("Talker* "), QStringLiteral("Microphones #"), QStringLiteral("Desk Microphone  ") }));
    from->actions().last()->trigger();
    QCOMPARE(app.source, AudioSource::input(QStringLiteral("alsa_input.usb")));
    Q_EMIT from->aboutToShow();
    QCOMPARE(shown().last(), QStringLiteral("Desk Microphone* "));
    Q_EMIT from->aboutToHide();
    QVERIFY(app.watch.expired());
}

// A translator that marks every text it is asked for: whatever reaches the screen unmarked was never
// offered for translation.
class MarkingTranslator final : public QTranslator
{
public:
    QString translate(const char *, const char *source, const char *, int) const override
    {
        return u'[' + QString::fromUtf8(source) + u']';
    }
    bool isEmpty() const override { return false; }
};

void MenuTest::textsAreTranslatable()
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    RecordingApp app;
    OverlayMenuButton button(app);
    QTemporaryDir dir;
    AppSettings settings(dir.filePath(QStringLiteral("settings.conf")));
    SettingsView view(settings);
    QStringList texts = MenuActionsContent::itemLabels(button.menu());
    texts.removeAll(QStringLiteral("-"));
    texts << button.toolTip() << button.accessibleName();
    for (const QLabel *label : view.findChildren<QLabel *>()) {
        // Values (the language's name, sizes) are data, not the interface's words.
        if (!label->text().isEmpty() && !label->text().front().isDigit()
            && label->text() != view.currentLanguageLabel())
            texts << label->text();
    }
    for (const QGroupBox *box : view.findChildren<QGroupBox *>())
        texts << box->title();
    for (const QCheckBox *box : view.findChildren<QCheckBox *>())
        texts << box->text();
    QCoreApplication::removeTranslator(&translator);
    QVERIFY2(texts.size() > 15, qPrintable(texts.join(u'|')));
    for (const QString &text : texts)
        QVERIFY2(text.startsWith(u'[') && text.endsWith(u']'), qPrintable(text));
}

QTEST_MAIN(MenuTest)
#include "MenuTest.moc"
