#include "views/SettingsView.h"
#include "ShownNotice.h"
#include "settings/AppSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class SettingsViewTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void choicesFollowTheStore();
    void usersOwnLoginEntryIsShown();
    void slidersWriteTheStore_data();
    void slidersWriteTheStore();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppSettings> m_settings;
};

void SettingsViewTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_settings = std::make_unique<AppSettings>(m_dir->filePath(u"settings.conf"_s));
    m_settings->setSupportedLocalesProvider([] { return QStringList { u"en-US"_s, u"ar-SA"_s, u"de-DE"_s }; });
}

// The user's own login entry starts Sonorel and is never changed: the switch shows it on and cannot be
// operated, and a notice beside it says why; once the entry is gone, the switch is the setting's again.
void SettingsViewTest::usersOwnLoginEntryIsShown()
{
    QString usersEntry = QDir::homePath() + u"/.config/autostart/sonorel.desktop"_s;
    m_settings->setUsersOwnLoginEntryProvider([&] { return usersEntry; });
    int applied = 0;
    m_settings->setStartAtLoginApplier([&](bool) { return ++applied > 0; });
    SettingsView view(*m_settings);
    view.show();
    QVERIFY(view.startAtLoginSwitch().isChecked() && !view.startAtLoginSwitch().isEnabled());
    QVERIFY2(view.loginNotice().contains(u"~/.config/autostart/sonorel.desktop"_s), qPrintable(view.loginNotice()));
    QCOMPARE(m_settings->startAtLogin(), false);
    usersEntry.clear();
    m_settings->setDarkMode(false); // any change shows the window afresh
    QTRY_VERIFY(view.startAtLoginSwitch().isEnabled());
    QVERIFY(!view.startAtLoginSwitch().isChecked() && view.loginNotice().isEmpty());
    view.startAtLoginSwitch().click();
    QVERIFY(applied == 1 && m_settings->startAtLogin());
}

// Changes made elsewhere (the pinch on the overlay) are shown; the controls write the store. How screen
// readers name the controls is read from outside by the accessibility test.
void SettingsViewTest::choicesFollowTheStore()
{
    SettingsView view(*m_settings);
    // Table order, names shown, codes behind them.
    QCOMPARE(view.languageMenu().count(), 3);
    QCOMPARE(view.languageMenu().itemText(0), u"English (US)"_s);
    QCOMPARE(view.currentLanguageLabel(), u"English (US)"_s);
    const int arabic = view.languageMenu().findText(u"Arabic"_s);
    view.languageMenu().setCurrentIndex(arabic);
    Q_EMIT view.languageMenu().activated(arabic);
    QCOMPARE(m_settings->selectedLanguage(), u"ar-SA"_s);
    QTRY_COMPARE(view.currentLanguageLabel(), u"Arabic"_s);
    m_settings->setFontSize(27.9);
    QTRY_COMPARE(view.fontSizeLabel(), u"27"_s);
    // The switches: on (dark mode) or off until chosen, each written and shown back.
    const auto flip = [this](QAbstractButton &button, bool initially, bool (AppSettings::*read)() const,
                          void (AppSettings::*write)(bool)) {
        QCOMPARE(button.isChecked(), initially);
        button.click();
        QCOMPARE((*m_settings.*read)(), !initially);
        (*m_settings.*write)(initially);
        QTRY_COMPARE(button.isChecked(), initially);
    };
    flip(view.darkModeSwitch(), true, &AppSettings::darkMode, &AppSettings::setDarkMode);
    flip(view.keepTranscriptsSwitch(), false, &AppSettings::keepTranscripts, &AppSettings::setKeepTranscripts);
    // The engine: accurate until the light one is chosen.
    QCOMPARE(view.engineMenu().currentData().toString(), AppSettings::accurateEngine);
    Q_EMIT view.engineMenu().activated(1);
    QCOMPARE(m_settings->recognitionEngine(), AppSettings::lightEngine);
    QTRY_COMPARE(view.engineMenu().currentData().toString(), AppSettings::lightEngine);
    // "Start at Login" is off until chosen; when the login entry cannot be changed, the switch goes back.
    QVERIFY(!view.startAtLoginSwitch().isChecked());
    view.startAtLoginSwitch().click();
    QCOMPARE(m_settings->startAtLogin(), true);
    m_settings->setStartAtLoginApplier([](bool) { return false; });
    view.startAtLoginSwitch().click();
    QTRY_VERIFY(view.startAtLoginSwitch().isChecked());
    QCOMPARE(m_settings->startAtLogin(), true);
    // Audio sources: listed while the window is shown, headings not choosable; a device that is gone
    // stays shown as the choice, marked.
    std::weak_ptr<void> watch;
    AudioCaptureService::ContentHandler announce;
    SettingsView sources(*m_settings, [&](AudioCaptureService::ContentHandler handler) {
        announce = std::move(handler);
        auto token = std::make_shared<int>();
        watch = token;
        return token;
    });
    sources.show();
    QVERIFY(announce && !watch.expired());
    announce({ { u"sink"_s }, { { u"Music"_s, QString() } }, { { u"mic"_s, u"Desk Microphone"_s } } });
    QComboBox &source = sources.sourceMenu();
    QCOMPARE(source.count(), 5);
    QCOMPARE(source.currentText(), u"All System Sound"_s);
    QVERIFY(!(source.model()->flags(source.model()->index(1, 0)) & Qt::ItemIsEnabled)); // "Applications"
    Q_EMIT source.activated(4);
    QCOMPARE(m_settings->audioSource(), AudioSource::input(u"mic"_s));
    announce({ { u"sink"_s }, {}, {} });
    QCOMPARE(source.currentText(), u"mic (unavailable)"_s);
    sources.hide();
    QVERIFY(watch.expired());
    // No file manager to show the transcripts folder: its path, to copy.
    view.showFolderButton().click();
    const QString notice = takeShownNotice();
    QVERIFY2(notice.endsWith(u'\n' + QDir::homePath() + u"/Documents/Sonorel/Transcripts"_s), qPrintable(notice));
}

void SettingsViewTest::slidersWriteTheStore_data()
{
    QTest::addColumn<bool>("opacity");
    QTest::addColumn<double>("initial"); // of the slider's setting
    QTest::addColumn<QList<int>>("actions");
    QTest::addColumn<double>("stored");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("writes");
    using A = QAbstractSlider;
    const int add = A::SliderSingleStepAdd, sub = A::SliderSingleStepSub;
    QTest::newRow("font steps") << false << 18.0 << QList<int> { add, add, add } << 21.0 << u"21"_s << 3;
    QTest::newRow("font from above range") << false << 40.5 << QList<int> { sub } << 31.0 << u"31"_s << 1;
    QTest::newRow("opacity floor") << true << 0.5 << QList<int> { A::SliderToMinimum, sub } << 0.1 << u"0.1"_s << 1;
    // Shown at the slider's end, so that the window keeps its size; stored as it is.
    QTest::newRow("opacity far beyond range") << true << 1e308 << QList<int> {} << 1e308 << u"1.0"_s << 0;
}

void SettingsViewTest::slidersWriteTheStore()
{
    QFETCH(bool, opacity);
    QFETCH(double, initial);
    QFETCH(QList<int>, actions);
    QFETCH(double, stored);
    QFETCH(QString, label);
    QFETCH(int, writes);
    opacity ? m_settings->setBackgroundOpacity(initial) : m_settings->setFontSize(initial);
    SettingsView view(*m_settings);
    QVERIFY(view.sizeHint().width() < 800);
    int notifications = 0;
    auto token = m_settings->objectWillChange.subscribe([&] { ++notifications; });
    QSlider &slider = opacity ? view.opacitySlider() : view.fontSizeSlider();
    slider.setSliderDown(true); // written while it moves, not when it is let go
    for (int action : actions)
        slider.triggerAction(QAbstractSlider::SliderAction(action));
    QCOMPARE(notifications, writes);
    slider.setSliderDown(false);
    QCOMPARE(opacity ? m_settings->backgroundOpacity() : m_settings->fontSize(), stored);
    QTRY_COMPARE(opacity ? view.opacityLabel() : view.fontSizeLabel(), label);
    QCOMPARE(notifications, writes); // showing the value writes nothing back
}

QTEST_MAIN(SettingsViewTest)
#include "SettingsViewTest.moc"
