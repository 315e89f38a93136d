// A tool, not a test (QT_QPA_PLATFORM=offscreen bench/overlay_screenshots): renders the overlay variants, menu
// button, Settings and About to PNG files in the build folder's screenshots/ so that the look can be checked by eye.
#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "app/AboutWindowManager.h"
#include "app/SettingsWindowManager.h"
#include "base/BundleInfo.h"
#include "base/ObjectWillChange.h"
#include "base/Published.h"
#include "captioning/CaptionViewModel.h"
#include "settings/AppSettings.h"
#include "views/AppCommands.h"
#include "views/CaptionContainerView.h"
#include "views/CaptionDisplayView.h"
#include "views/CaptionTextBlock.h"
#include "views/MessageBoxUpdatePresenter.h"
#include "views/OverlayMenuButton.h"

#include <QApplication>
#include <QDir>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString english = QStringLiteral(
    "and so the committee decided that the new bridge would be built on the northern side of the river where the "
    "ground is firmer and the current is weaker. Construction is expected to begin next spring, weather permitting, "
    "and the first vehicles should be able to cross it by the end of the following year. The mayor thanked everyone "
    "who took part in the consultation and said the city would publish the full plans online next week.");
const QString arabic = QString::fromUtf8(
    "وقررت اللجنة أن يبنى الجسر الجديد على الجانب الشمالي من النهر حيث الأرض أكثر صلابة والتيار أضعف. ومن المتوقع "
    "أن يبدأ البناء في الربيع المقبل، وأن تعبر أول السيارات الجسر بحلول نهاية العام التالي. وشكر رئيس البلدية كل من "
    "شارك في المشاورات.");

// Something for the translucent overlay to sit on: a desktop-like gradient with a window edge in it.
QImage desktop(const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, size.width(), size.height());
    gradient.setColorAt(0, QColor(0x2d, 0x6c, 0xdf));
    gradient.setColorAt(1, QColor(0xf2, 0xa6, 0x5a));
    painter.fillRect(image.rect(), gradient);
    painter.fillRect(QRect(size.width() / 2, 0, size.width() / 2, size.height() / 2), QColor(250, 250, 250));
    painter.setPen(QColor(40, 40, 40));
    painter.drawText(QRect(size.width() / 2 + 10, 10, size.width() / 2 - 20, 40), Qt::AlignLeft,
        QStringLiteral("A document behind the overlay"));
    return image;
}

class NullApp final : public AppCommands
{
public:
    ObjectWillChange willChange;
    ObjectWillChange &appWillChange() override { return willChange; }
    bool captionsRunning() const override { return false; }
    bool clickThroughEnabled() const override { return false; }
    bool overlayVisible() const override { return true; }
    bool hasTranscript() const override { return false; }
    void startCaptions() override { }
    void stopCaptions() override { }
    void toggleOverlayVisibility() override { }
    void toggleClickThrough() override { }
    AudioSource audioSource() const override { return {}; }
    void setAudioSource(const AudioSource &) override { }
    std::shared_ptr<void> watchAudioSources(AudioCaptureService::ContentHandler) override { return nullptr; }
    void saveTranscript() override { }
    void showSettings() override { }
    void showAbout() override { }
    void sendFeedback() override { }
    void followOnX() override { }
    void followOnYouTube() override { }
    void checkForUpdates() override { }
    void quit() override { }
};

} // namespace

class OverlayScreenshots final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void overlay_data();
    void overlay();
    void controlButton();
    void settingsWindow();
    void aboutWindow();
    void alerts_data();
    void alerts();

private:
    QString path(const QString &name) const { return m_dir.filePath(name + QStringLiteral(".png")); }
    QDir m_dir;
    QTemporaryDir m_temp;
};

void OverlayScreenshots::initTestCase()
{
    m_dir = QDir(QStringLiteral(SONOREL_SCREENSHOT_DIR));
    QVERIFY(m_dir.mkpath(QStringLiteral(".")));
    BundleInfo::setInfoDictionary(
        { { BundleInfo::shortVersionKey, QStringLiteral("0.1.0") }, { BundleInfo::versionKey, QStringLiteral("42") } });
}

void OverlayScreenshots::overlay_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("running");
    for (bool dark : { true, false }) {
        for (const char *language : { "en-US", "ar-SA" }) {
            for (bool running : { true, false }) {
                QTest::addRow("overlay-%s-%s-%s", dark ? "dark" : "light", language, running ? "running" : "idle")
                    << dark << QString::fromLatin1(language) << running;
            }
        }
    }
}

void OverlayScreenshots::overlay()
{
    QFETCH(bool, dark);
    QFETCH(QString, language);
    QFETCH(bool, running);
    auto engine = std::make_shared<FakeSpeechEngine>();
    engine->setLocale(language);
    AppSettings settings(m_temp.filePath(QStringLiteral("overlay.conf")));
    settings.setDarkMode(dark);
    settings.setSelectedLanguage(language);
    CaptionViewModel viewModel(CaptioningServices { std::make_shared<FakePermissionService>(),
                                   std::make_shared<FakeAudioCaptureService>(), engine },
        settings);
    QCoreApplication::processEvents();
    CaptionContainerView view(viewModel, settings, {});
    view.resize(600, 220);
    view.show();
    viewModel.isRunning = running;
    const QString caption = language == QLatin1String("ar-SA") ? arabic : english;
    viewModel.captionText = caption + QLatin1Char(' ') + caption;
    QTRY_COMPARE(view.display().textBlock().text(), viewModel.captionText.get());
    QCOMPARE(view.display().isIndicatorShown(), running);

    QImage image = desktop(QSize(680, 300));
    QPainter painter(&image);
    view.render(&painter, QPoint(40, 40), QRegion(), QWidget::DrawChildren);
    painter.end();
    QVERIFY(image.save(path(QString::fromLatin1(QTest::currentDataTag()))));
}

void OverlayScreenshots::controlButton()
{
    NullApp app;
    OverlayMenuButton button(app);
    button.show();
    QImage image = desktop(QSize(72, 72));
    QPainter painter(&image);
    button.render(&painter, QPoint(20, 20), QRegion(), QWidget::DrawChildren);
    painter.end();
    QVERIFY(image.save(path(QStringLiteral("control-button"))));
}

void OverlayScreenshots::settingsWindow()
{
    AppSettings settings(m_temp.filePath(QStringLiteral("settings.conf")));
    settings.setSupportedLocalesProvider([] {
        return QStringList { QStringLiteral("en-US"), QStringLiteral("de-DE") };
    });
    QSettings store(m_temp.filePath(QStringLiteral("frames.conf")), QSettings::NativeFormat);
    SettingsWindowManager manager(settings, &store);
    manager.show();
    QVERIFY(manager.settingsWindow()->grab().save(path(QStringLiteral("settings-window"))));
    // The user's own login entry: the switch shown on and disabled, with the notice beneath it.
    settings.setUsersOwnLoginEntryProvider(
        [] { return QDir::homePath() + QStringLiteral("/.config/autostart/sonorel.desktop"); });
    settings.setDarkMode(settings.darkMode());
    QCoreApplication::processEvents();
    QVERIFY(manager.settingsWindow()->grab().save(path(QStringLiteral("settings-window-own-login-entry"))));
}

void OverlayScreenshots::aboutWindow()
{
    QSettings store(m_temp.filePath(QStringLiteral("frames.conf")), QSettings::NativeFormat);
    AboutWindowManager manager(&store);
    manager.show();
    QVERIFY(manager.window()->grab().save(path(QStringLiteral("about-window"))));
}

void OverlayScreenshots::alerts_data()
{
    QTest::addColumn<QString>("title"); // empty: the caption overlay's notice
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("buttons");
    const PlatformError lost { QStringLiteral("PulseAudio"), 11, QStringLiteral("Connection terminated"),
        QStringLiteral("Sonorel lost its connection to the sound server, so captions stopped. Start captions again "
                       "when sound is playing.") };
    QTest::newRow("alert-notice") << QString() << lost.fullDescription(QString()) << QStringList();
    QTest::newRow("alert-up-to-date") << QStringLiteral("You are up to date")
                                      << QStringLiteral("Sonorel 1.2 is the newest version.")
                                      << QStringList { QStringLiteral("OK") };
    QTest::newRow("alert-new-version") << QStringLiteral("A new version is available")
                                       << QStringLiteral("Version 1.3 is available. You have 1.2.")
                                       << QStringList { QStringLiteral("Install Update"), QStringLiteral("Later") };
    QTest::newRow("alert-update-failed")
        << QStringLiteral("Update failed")
        << QStringLiteral("Could not connect to the server updates.downloads-mirror.sonorel-example.org.")
        << QStringList { QStringLiteral("OK") };
    QTest::newRow("alert-update-downloaded")
        << QStringLiteral("Update downloaded")
        << QStringLiteral("Version 1.3 was saved to /home/user/Downloads/Sonorel-1.3.AppImage (52.1 MB).")
        << QStringList { QStringLiteral("Show in Folder"), QStringLiteral("OK") };
}

void OverlayScreenshots::alerts()
{
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QStringList, buttons);
    const QString file = path(QString::fromLatin1(QTest::currentDataTag()));
    if (title.isEmpty()) {
        AppSettings settings(m_temp.filePath(QStringLiteral("alert.conf")));
        CaptionViewModel viewModel(
            CaptioningServices { std::make_shared<FakePermissionService>(), std::make_shared<FakeAudioCaptureService>(),
                std::make_shared<FakeSpeechEngine>() },
            settings);
        CaptionContainerView view(viewModel, settings, {});
        viewModel.errorMessage = text;
        QTRY_VERIFY(view.display().alert() && view.display().alert()->isVisible());
        QVERIFY(view.display().alert()->grab().save(file));
        return;
    }
    bool saved = false;
    QTimer::singleShot(0, [&] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(window); box && box->isVisible()) {
                saved = box->grab().save(file);
                box->done(0);
            }
        }
    });
    MessageBoxUpdatePresenter().runModal(
        { title == QLatin1String("Update failed") ? UpdateAlert::Style::critical : UpdateAlert::Style::informational,
            title, text, buttons });
    QVERIFY(saved);
}

QTEST_MAIN(OverlayScreenshots)
#include "overlay_screenshots.moc"
