#include "views/SettingsView.h"
#include "ShownNotice.h"
#include "base/BundleInfo.h"
#include "settings/AppSettings.h"
#include "views/AboutView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

class SettingsViewTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void choicesFollowTheStore();
    void usersOwnLoginEntryIsShown();
    void slidersWriteTheStore_data();
    void slidersWriteTheStore();
    void aboutView();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppSettings> m_settings;
};

void SettingsViewTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_settings = std::make_unique<AppSettings>(m_dir->filePath(QStringLiteral("settings.conf")));
    m_settings->setSupportedLocalesProvider([] {
        return QStringList { QStringLiteral("en-US"), QStringLiteral("ar-SA"), QStringLiteral("de-DE") };
    });
}

void SettingsViewTest::cleanup()
{
    BundleInfo::resetInfoDictionary();
}

// The user's own login entry starts Sonorel and is never changed: the switch shows it on and cannot be
// operated, and a notice beside it says why; once the entry is gone, the switch is the setting's again.
void SettingsViewTest::usersOwnLoginEntryIsShown()
{
    QString usersEntry = QDir::homePath() + QStringLiteral("/.config/autostart/sonorel.desktop");
    m_settings->setUsersOwnLoginEntryProvider([&] { return usersEntry; });
    int applied = 0;
    m_settings->setStartAtLoginApplier([&](bool) { return ++applied > 0; });
    SettingsView view(*m_settings);
    view.show();
    QVERIFY(view.startAtLoginSwitch().isChecked());
    QVERIFY(!view.startAtLoginSwitch().isEnabled());
    QVERIFY2(view.loginNotice().contains(QStringLiteral("“~/.config/autostart/sonorel.desktop”")),
        qPrintable(view.loginNotice()));
    QCOMPARE(m_settings->startAtLogin(), false);
    usersEntry.clear();
    m_settings->setDarkMode(false); // any change shows the window afresh
    QTRY_VERIFY(view.startAtLoginSwitch().isEnabled());
    QVERIFY(!view.startAtLoginSwitch().isChecked());
    QCOMPARE(view.loginNotice(), QString());
    view.startAtLoginSwitch().click();
    QCOMPARE(applied, 1);
    QCOMPARE(m_settings->startAtLogin(), true);
}

void SettingsViewTest::choicesFollowTheStore()
{
    // How screen readers name the controls is read from outside by the accessibility test.
    SettingsView view(*m_settings);
    // Table order, names shown, codes behind them.
    QCOMPARE(view.languageMenu().count(), 3);
    QCOMPARE(view.languageMenu().itemText(0), QStringLiteral("English (US)"));
    QCOMPARE(view.currentLanguageLabel(), QStringLiteral("English (US)"));
    const int arabic = view.languageMenu().findText(QStringLiteral("Arabic"));
    view.languageMenu().setCurrentIndex(arabic);
    Q_EMIT view.languageMenu().activated(arabic);
    QCOMPARE(m_settings->selectedLanguage(), QStringLiteral("ar-SA"));
    QTRY_COMPARE(view.currentLanguageLabel(), QStringLiteral("Arabic"));
    // In the table but not offered by the engine: the raw identifier, nothing chosen.
    m_settings->setSelectedLanguage(QStringLiteral("fr-FR"));
    QTRY_COMPARE(view.currentLanguageLabel(), QStringLiteral("fr-FR"));
    QCOMPARE(view.languageMenu().currentIndex(), -1);
    // Changes made elsewhere (the pinch on the overlay) are shown; the switch writes the store.
    m_settings->setFontSize(27.9);
    QTRY_COMPARE(view.fontSizeLabel(), QStringLiteral("27"));
    QVERIFY(view.darkModeSwitch().isChecked());
    view.darkModeSwitch().click();
    QCOMPARE(m_settings->darkMode(), false);
    m_settings->setDarkMode(true);
    QTRY_VERIFY(view.darkModeSwitch().isChecked());
    // The engine: accurate until the light one is chosen, and a damaged stored value reads as accurate.
    QCOMPARE(view.engineMenu().currentData().toString(), AppSettings::accurateEngine);
    Q_EMIT view.engineMenu().activated(1);
    QCOMPARE(m_settings->recognitionEngine(), AppSettings::lightEngine);
    QTRY_COMPARE(view.engineMenu().currentData().toString(), AppSettings::lightEngine);
    m_settings->setRecognitionEngine(QStringLiteral("fast"));
    QTRY_COMPARE(view.engineMenu().currentData().toString(), AppSettings::accurateEngine);
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
    announce({ { QStringLiteral("sink") }, { { QStringLiteral("Music"), QString() } },
        { { QStringLiteral("mic"), QStringLiteral("Desk Microphone") } } });
    QComboBox &source = sources.sourceMenu();
    QCOMPARE(source.count(), 5);
    QCOMPARE(source.currentText(), QStringLiteral("All System Sound"));
    QVERIFY(!(source.model()->flags(source.model()->index(1, 0)) & Qt::ItemIsEnabled)); // "Applications"
    Q_EMIT source.activated(4);
    QCOMPARE(m_settings->audioSource(), AudioSource::input(QStringLiteral("mic")));
    announce({ { QStringLiteral("sink") }, {}, {} });
    QCOMPARE(source.currentText(), QStringLiteral("mic (unavailable)"));
    sources.hide();
    QVERIFY(watch.expired());
    QVERIFY(!view.keepTranscriptsSwitch().isChecked()); // off until asked for
    view.keepTranscriptsSwitch().click();
    QCOMPARE(m_settings->keepTranscripts(), true);
    m_settings->setKeepTranscripts(false);
    QTRY_VERIFY(!view.keepTranscriptsSwitch().isChecked());
    // No file manager to show the folder: its path, to copy.
    view.showFolderButton().click();
    const QString notice = takeShownNotice();
    QVERIFY2(notice.endsWith(u'\n' + QDir::homePath() + QStringLiteral("/Documents/Sonorel/Transcripts")),
        qPrintable(notice));
    // No language offered at all: an empty menu.
    m_settings->setSupportedLocalesProvider([] { return QStringList { QStringLiteral("tlh-QO") }; });
    QCOMPARE(SettingsView(*m_settings).languageMenu().count(), 0);
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
    QTest::newRow("font steps") << false << 18.0
                                << QList<int> { A::SliderSingleStepAdd, A::SliderSingleStepAdd, A::SliderSingleStepAdd }
                                << 21.0 << QStringLiteral("21") << 3;
    // Shown as it is, not clamped in the store until the slider moves.
    QTest::newRow("font above range") << false << 40.5 << QList<int> {} << 40.5 << QStringLiteral("40") << 0;
    QTest::newRow("font beyond what is drawn") << false << 1e30 << QList<int> {} << 200.0 << QStringLiteral("200") << 0;
    QTest::newRow("font from above range")
        << false << 40.5 << QList<int> { A::SliderSingleStepSub } << 31.0 << QStringLiteral("31") << 1;
    QTest::newRow("opacity floor") << true << 0.5 << QList<int> { A::SliderToMinimum, A::SliderSingleStepSub } << 0.1
                                   << QStringLiteral("0.1") << 1;
    QTest::newRow("opacity top") << true << 0.5 << QList<int> { A::SliderToMaximum } << 1.0 << QStringLiteral("1.0")
                                 << 1;
    // Shown at the slider's end, so that the window keeps its size; stored as it is.
    QTest::newRow("opacity far beyond range") << true << 1e308 << QList<int> {} << 1e308 << QStringLiteral("1.0") << 0;
}

void SettingsViewTest::slidersWriteTheStore()
{
    QFETCH(bool, opacity);
    QFETCH(double, initial);
    QFETCH(QList<int>, actions);
    QFETCH(double, stored);
    QFETCH(QString, label);
    QFETCH(int, writes);
    if (opacity)
        m_settings->setBackgroundOpacity(initial);
    else
        m_settings->setFontSize(initial);
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

void SettingsViewTest::aboutView()
{
    BundleInfo::setInfoDictionary(
        { { BundleInfo::shortVersionKey, QStringLiteral("1.2") }, { BundleInfo::versionKey, QStringLiteral("34") } });
    AboutView view;
    QCOMPARE(view.findChild<QLabel *>(QStringLiteral("versionLine"))->text(), QStringLiteral("Version 1.2 (34)"));
    QVERIFY(!view.findChild<QLabel *>(QStringLiteral("icon"))->pixmap().isNull());
}

QTEST_MAIN(SettingsViewTest)
#include "SettingsViewTest.moc"
