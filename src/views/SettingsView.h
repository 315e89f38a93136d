#pragma once

#include "base/Subscription.h"
#include "settings/AppSettings.h"
#include "views/AudioSourceChoices.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;

// The settings window's content. Every control writes straight into the store while it is operated;
// every value shown is read back from the store whenever it announces a change, wherever it came from.
class SettingsView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsView)

public:
    static constexpr int side = 400;
    // Beneath the square of the first settings: the transcripts' group.
    static constexpr int sourceHeight = 90; // the audio source group
    static constexpr int transcriptsHeight = 90;
    static constexpr int loginHeight = 30; // "Start at Login"
    static constexpr int loginNoticeHeight = 40; // beneath it, when the user's own entry starts Sonorel
    static constexpr int engineHeight = 34; // the recognition engine pop-up
    static constexpr int fontSizeMinimum = 12;
    static constexpr int fontSizeMaximum = 32;
    // The opacity slider works in tenths: 1 is 0.1, 10 is 1.0.
    static constexpr int opacityMinimumTenths = 1;
    static constexpr int opacityMaximumTenths = 10;

    // `sources` lists what captions can listen to while the window is shown.
    explicit SettingsView(AppSettings &settings, AudioSourceWatcher sources = {}, QWidget *parent = nullptr);
    ~SettingsView() override;

    // The texts shown beside the controls.
    static QString fontSizeText(double fontSize);
    static QString opacityText(double opacity, const QLocale &locale);
    static QString currentLanguageText(const QString &selected, const QList<LanguageEntry> &languages);

    QComboBox &languageMenu() const { return *m_language; }
    QComboBox &sourceMenu() const { return *m_source; }
    QComboBox &engineMenu() const { return *m_engine; }
    QSlider &fontSizeSlider() const { return *m_fontSize; }
    QSlider &opacitySlider() const { return *m_opacity; }
    QCheckBox &darkModeSwitch() const { return *m_darkMode; }
    QCheckBox &keepTranscriptsSwitch() const { return *m_keepTranscripts; }
    QPushButton &showFolderButton() const { return *m_showFolder; }
    QCheckBox &startAtLoginSwitch() const { return *m_startAtLogin; }
    // Empty unless the user's own login entry starts Sonorel.
    QString loginNotice() const;
    static QString loginNoticeText(const QString &usersEntry);
    QString currentLanguageLabel() const;
    QString fontSizeLabel() const;
    QString opacityLabel() const;

    void refresh();

protected:
    // The offered languages are the engine's, which can change while the window is closed.
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void fillSources();

    AppSettings &m_settings;
    AudioSourceWatcher m_sourceWatcher;
    std::shared_ptr<void> m_sourceWatch; // held while shown
    AudioCaptureContent m_sourceContent;
    QComboBox *m_source;
    QList<AudioSourceChoice> m_shownSources;
    QComboBox *m_language;
    QComboBox *m_engine;
    QLabel *m_currentLanguage;
    QLabel *m_fontSizeValue;
    QSlider *m_fontSize;
    QLabel *m_opacityValue;
    QSlider *m_opacity;
    QCheckBox *m_darkMode;
    QCheckBox *m_keepTranscripts;
    QPushButton *m_showFolder;
    QCheckBox *m_startAtLogin = nullptr;
    QLabel *m_loginNotice = nullptr;
    QList<LanguageEntry> m_shownLanguages;
    bool m_refreshing = false;
    Cancellables cancellables;
};
