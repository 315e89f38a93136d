#include "SettingsView.h"
#include "AboutView.h"
#include "AppSettings.h"
#include "BundleInfo.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

class SettingsViewTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void freshSettings();
    void languageNotOfferedShowsRawIdentifier();
    void noSupportedLanguagesNoItems();
    void choosingLanguageStoresItsCode();
    void fontSliderWritesEveryStep();
    void fontSizeOutsideSliderRange();
    void opacitySliderFloor();
    void darkModeSwitch();
    void followsChangesMadeElsewhere();
    void fontSizeText_data();
    void fontSizeText();
    void opacityTextFollowsLocale_data();
    void opacityTextFollowsLocale();
    void aboutVersionLine_data();
    void aboutVersionLine();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AppSettings> m_settings;
};

void SettingsViewTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_settings = std::make_unique<AppSettings>(m_dir->filePath(QStringLiteral("settings.conf")));
    AppSettings::setSupportedLocalesSource([] {
        return QStringList { QStringLiteral("en-US"), QStringLiteral("ar-SA"), QStringLiteral("de-DE") };
    });
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void SettingsViewTest::cleanup()
{
    AppSettings::setSupportedLocalesSource({});
    BundleInfo::resetInfoDictionary();
    QLocale::setDefault(QLocale::c());
}

void SettingsViewTest::freshSettings()
{
    SettingsView view(*m_settings);
    QCOMPARE(view.size(), QSize(400, 400));
    QCOMPARE(view.currentLanguageLabel(), QStringLiteral("English (US)"));
    QCOMPARE(view.fontSizeLabel(), QStringLiteral("18"));
    QCOMPARE(view.opacityLabel(), QStringLiteral("0.6"));
    QVERIFY(view.darkModeSwitch().isChecked());
    QCOMPARE(view.darkModeSwitch().text(), QStringLiteral("Dark Mode"));
    QCOMPARE(view.fontSizeSlider().value(), 18);
    QCOMPARE(view.opacitySlider().value(), 6);
    // Table order, names shown, codes behind them.
    QCOMPARE(view.languageMenu().count(), 3);
    QCOMPARE(view.languageMenu().itemText(0), QStringLiteral("English (US)"));
    QCOMPARE(view.languageMenu().currentData().toString(), QStringLiteral("en-US"));
    QStringList texts;
    for (const QLabel *label : view.findChildren<QLabel *>())
        texts << label->text();
    for (const char *expected :
        { "Settings", "Speech Recognition Language:", "Current language:", "Font Size:", "Background Opacity:" })
        QVERIFY2(texts.contains(QString::fromUtf8(expected)), expected);
}

void SettingsViewTest::languageNotOfferedShowsRawIdentifier()
{
    m_settings->setSelectedLanguage(QStringLiteral("xx-YY"));
    SettingsView view(*m_settings);
    QCOMPARE(view.languageMenu().currentIndex(), -1);
    QCOMPARE(view.currentLanguageLabel(), QStringLiteral("xx-YY"));
    // In the table but not supported by the engine.
    m_settings->setSelectedLanguage(QStringLiteral("fr-FR"));
    QTRY_COMPARE(view.currentLanguageLabel(), QStringLiteral("fr-FR"));
    QCOMPARE(view.languageMenu().currentIndex(), -1);
}

void SettingsViewTest::noSupportedLanguagesNoItems()
{
    AppSettings::setSupportedLocalesSource([] { return QStringList { QStringLiteral("tlh-QO") }; });
    SettingsView view(*m_settings);
    QCOMPARE(view.languageMenu().count(), 0);
    QCOMPARE(view.currentLanguageLabel(), QStringLiteral("en-US"));
}

void SettingsViewTest::choosingLanguageStoresItsCode()
{
    SettingsView view(*m_settings);
    const int arabic = view.languageMenu().findText(QStringLiteral("Arabic"));
    QVERIFY(arabic >= 0);
    view.languageMenu().setCurrentIndex(arabic);
    Q_EMIT view.languageMenu().activated(arabic);
    QCOMPARE(m_settings->selectedLanguage(), QStringLiteral("ar-SA"));
    QTRY_COMPARE(view.currentLanguageLabel(), QStringLiteral("Arabic"));
}

void SettingsViewTest::fontSliderWritesEveryStep()
{
    SettingsView view(*m_settings);
    int notifications = 0;
    auto token = m_settings->objectWillChange.subscribe([&] { ++notifications; });
    QSlider &slider = view.fontSizeSlider();
    slider.setSliderDown(true);
    for (int value : { 19, 20, 21 })
        slider.setSliderPosition(value);
    slider.setSliderDown(false);
    QCOMPARE(notifications, 3);
    QCOMPARE(m_settings->fontSize(), 21.0);
    QTRY_COMPARE(view.fontSizeLabel(), QStringLiteral("21"));
    QCOMPARE(notifications, 3); // showing the value writes nothing back
}

void SettingsViewTest::fontSizeOutsideSliderRange()
{
    m_settings->setFontSize(40.5);
    SettingsView view(*m_settings);
    QCOMPARE(view.fontSizeLabel(), QStringLiteral("40"));
    QCOMPARE(m_settings->fontSize(), 40.5); // shown, not clamped in the store
    view.fontSizeSlider().triggerAction(QAbstractSlider::SliderSingleStepSub);
    QVERIFY(m_settings->fontSize() >= 12 && m_settings->fontSize() <= 32);
    QCOMPARE(m_settings->fontSize(), 31.0);
}

void SettingsViewTest::opacitySliderFloor()
{
    SettingsView view(*m_settings);
    QSlider &slider = view.opacitySlider();
    slider.triggerAction(QAbstractSlider::SliderToMinimum);
    QCOMPARE(m_settings->backgroundOpacity(), 0.1);
    slider.triggerAction(QAbstractSlider::SliderSingleStepSub);
    QCOMPARE(m_settings->backgroundOpacity(), 0.1);
    QTRY_COMPARE(view.opacityLabel(), QStringLiteral("0.1"));
    slider.triggerAction(QAbstractSlider::SliderToMaximum);
    QCOMPARE(m_settings->backgroundOpacity(), 1.0);
    QTRY_COMPARE(view.opacityLabel(), QStringLiteral("1.0"));
}

void SettingsViewTest::darkModeSwitch()
{
    SettingsView view(*m_settings);
    view.darkModeSwitch().click();
    QCOMPARE(m_settings->darkMode(), false);
    view.darkModeSwitch().click();
    QCOMPARE(m_settings->darkMode(), true);
}

void SettingsViewTest::followsChangesMadeElsewhere()
{
    SettingsView view(*m_settings);
    m_settings->setFontSize(27.9); // a pinch on the overlay
    QTRY_COMPARE(view.fontSizeLabel(), QStringLiteral("27"));
    m_settings->setDarkMode(false);
    QTRY_VERIFY(!view.darkModeSwitch().isChecked());
}

void SettingsViewTest::fontSizeText_data()
{
    QTest::addColumn<double>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("whole") << 18.0 << QStringLiteral("18");
    QTest::newRow("truncated") << 27.9 << QStringLiteral("27");
    QTest::newRow("toward zero") << -3.7 << QStringLiteral("-3");
    QTest::newRow("beyond 64 bits") << 1e30 << QStringLiteral("1e+30");
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << QStringLiteral("inf");
}

void SettingsViewTest::fontSizeText()
{
    QFETCH(double, size);
    QFETCH(QString, text);
    QCOMPARE(SettingsView::fontSizeText(size), text);
}

void SettingsViewTest::opacityTextFollowsLocale_data()
{
    QTest::addColumn<double>("opacity");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("text");
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QLocale de(QLocale::German, QLocale::Germany);
    QTest::newRow("0.6 point") << 0.6 << us << QStringLiteral("0.6");
    QTest::newRow("0.6 comma") << 0.6 << de << QStringLiteral("0,6");
    QTest::newRow("1.0") << 1.0 << us << QStringLiteral("1.0");
}

void SettingsViewTest::opacityTextFollowsLocale()
{
    QFETCH(double, opacity);
    QFETCH(QLocale, locale);
    QFETCH(QString, text);
    QCOMPARE(SettingsView::opacityText(opacity, locale), text);
}

void SettingsViewTest::aboutVersionLine_data()
{
    QTest::addColumn<QVariantMap>("info");
    QTest::addColumn<QString>("line");
    QTest::newRow("both") << QVariantMap { { BundleInfo::shortVersionKey, QStringLiteral("1.2") },
        { BundleInfo::versionKey, QStringLiteral("34") } }
                          << QStringLiteral("Version 1.2 (34)");
    QTest::newRow("no version") << QVariantMap { { BundleInfo::versionKey, QStringLiteral("34") } }
                                << QStringLiteral("Version - (34)");
    QTest::newRow("not strings") << QVariantMap { { BundleInfo::shortVersionKey, 2 }, { BundleInfo::versionKey, 3.5 } }
                                 << QStringLiteral("Version - (-)");
}

void SettingsViewTest::aboutVersionLine()
{
    QFETCH(QVariantMap, info);
    QFETCH(QString, line);
    BundleInfo::setInfoDictionary(info);
    AboutView view;
    QCOMPARE(view.appName, QStringLiteral("Sonorel"));
    auto *label = view.findChild<QLabel *>(QStringLiteral("versionLine"));
    QVERIFY(label);
    QCOMPARE(label->text(), line);
    QVERIFY(view.minimumWidth() >= 300);
    auto *icon = view.findChild<QLabel *>(QStringLiteral("icon"));
    QVERIFY(icon && !icon->pixmap().isNull());
    QCOMPARE(icon->size(), QSize(96, 96));
}

QTEST_MAIN(SettingsViewTest)
#include "SettingsViewTest.moc"
