#include "base/ObjectWillChange.h"
#include "base/Published.h"
#include "views/AppCommands.h"
#include "views/MenuActionsContent.h"
#include "views/MenuBarView.h"
#include "views/OverlayMenuButton.h"

#include <QAction>
#include <QMenu>
#include <QTest>

using namespace Qt::StringLiterals;

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
    AudioSource source;
    AudioCaptureService::ContentHandler watcher;
    std::weak_ptr<void> watch;

    ObjectWillChange &appWillChange() override { return willChange; }
    bool captionsRunning() const override { return running.get(); }
    bool clickThroughEnabled() const override { return clickThrough.get(); }
    bool overlayVisible() const override { return visible; }
    bool hasTranscript() const override { return transcript; }
    AudioSource audioSource() const override { return source; }
    void setAudioSource(const AudioSource &value) override { source = value; }
    std::shared_ptr<void> watchAudioSources(AudioCaptureService::ContentHandler handler) override
    {
        watcher = std::move(handler);
        auto token = std::make_shared<int>();
        watch = token;
        return token;
    }
    // clang-format off
#define RECORD(name) void name() override { calls << QString::fromLatin1(#name); }
    RECORD(startCaptions) RECORD(stopCaptions) RECORD(toggleOverlayVisibility) RECORD(toggleClickThrough)
    RECORD(saveTranscript) RECORD(showSettings) RECORD(showAbout) RECORD(sendFeedback) RECORD(followOnX)
    RECORD(followOnYouTube) RECORD(checkForUpdates) RECORD(quit)
#undef RECORD
    // clang-format on
};

} // namespace

class MenuTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void labelsInEveryState();
    void labelsFollowState();
    void captionFromFollowsTheSources();
};

// Each state on in one pass and off in the other, so that every label is seen both ways and no two states
// can stand in for each other.
void MenuTest::labelsInEveryState()
{
    for (const bool first : { true, false }) {
        RecordingApp app;
        app.running = first;
        app.clickThrough = first;
        app.visible = !first;
        app.transcript = !first;
        const QString labels = (app.running ? u"Stop Captions|"_s : u"Start Captions|"_s)
            + (app.visible ? u"Hide Overlay|"_s : u"Show Overlay|"_s)
            + (app.clickThrough ? u"Interact"_s : u"Click-Through"_s)
            + u"|Caption From|-|Save Transcript...|-|Settings...|-|About|Send Feedback|-|Follow on X|"
              u"Follow on YouTube|-|Check for Updates|-|Quit"_s;
        // Both places show the same list of plain buttons, all enabled but "Save Transcript..." without text.
        MenuBarView tray(app);
        OverlayMenuButton button(app);
        QCOMPARE(MenuActionsContent::itemLabels(tray).join(u'|'), labels);
        QCOMPARE(MenuActionsContent::itemLabels(button.menu()).join(u'|'), labels);
        for (QAction *action : button.menu().actions()) {
            QCOMPARE(action->isEnabled(), action->text() != u"Save Transcript..."_s || app.transcript);
            if (!action->menu())
                action->trigger();
        }
        const QString transcript = app.transcript ? u" saveTranscript"_s : QString();
        QTRY_COMPARE(app.calls.join(u' '),
            (app.running ? u"stopCaptions"_s : u"startCaptions"_s) + u" toggleOverlayVisibility toggleClickThrough"_s
                + transcript
                + u" showSettings showAbout sendFeedback followOnX followOnYouTube checkForUpdates quit"_s);
    }
}

void MenuTest::labelsFollowState()
{
    RecordingApp app;
    app.running = true;
    MenuBarView tray(app);
    QCOMPARE(tray.actions().at(0)->text(), u"Stop Captions"_s);
    // Captions that stop by themselves, and click-through, are announced: the labels follow at once.
    app.running = false;
    QTRY_COMPARE(tray.actions().at(0)->text(), u"Start Captions"_s);
    app.clickThrough = true;
    QTRY_COMPARE(tray.actions().at(2)->text(), u"Interact"_s);
    // The overlay hidden by other means while the menu was open: the stale label does what it said.
    app.visible = false;
    tray.actions().at(1)->trigger();
    QVERIFY(app.calls.isEmpty());
    // Visibility and text to save are not announced; the labels are rebuilt when the menu opens.
    QVERIFY(!tray.actions().at(5)->isEnabled());
    app.transcript = true;
    Q_EMIT tray.aboutToShow();
    QCOMPARE(tray.actions().at(1)->text(), u"Show Overlay"_s);
    QVERIFY(tray.actions().at(5)->isEnabled());
}

// The submenu lists the sources while it is open, follows the server, marks the current one, and
// keeps a chosen application that plays nothing now.
void MenuTest::captionFromFollowsTheSources()
{
    RecordingApp app;
    app.source = AudioSource::application(u"Talker"_s);
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
    QCOMPARE(shown(), QStringList({ u"All System Sound  "_s, u"Applications #"_s, u"Talker (not playing)* "_s }));
    app.watcher(AudioCaptureContent { { u"sink"_s }, { { u"Music"_s, QString() }, { u"Talker"_s, QString() } },
        { { u"alsa_input.usb"_s, u"Desk Microphone"_s } } });
    QCOMPARE(shown(),
        QStringList({ u"All System Sound  "_s, u"Applications #"_s, u"Music  "_s, u"Talker* "_s, u"Microphones #"_s,
            u"Desk Microphone  "_s }));
    from->actions().last()->trigger();
    QCOMPARE(app.source, AudioSource::input(u"alsa_input.usb"_s));
    Q_EMIT from->aboutToShow();
    QCOMPARE(shown().last(), u"Desk Microphone* "_s);
    Q_EMIT from->aboutToHide();
    QVERIFY(app.watch.expired());
}

QTEST_MAIN(MenuTest)
#include "MenuTest.moc"
