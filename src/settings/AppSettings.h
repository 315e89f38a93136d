#pragma once

#include "base/ObjectWillChange.h"
#include "settings/AudioSource.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QSettings;

// A recognition language the user can pick: a locale identifier and the name shown for it.
struct LanguageEntry {
    QString code;
    QString name;
    friend bool operator==(const LanguageEntry &, const LanguageEntry &) = default;
};

// The application's settings: caption font size, background opacity, dark appearance, the
// recognition language and the audio source, kept in the user's settings file. Every setter sends objectWillChange
// first and then stores the value, so a subscriber that reads inside the notification still sees the old value. Values
// that are missing, of the wrong type or not finite read as their defaults; reading never writes. Used on the main
// thread.
class AppSettings final
{
public:
    static constexpr double defaultFontSize = 18.0;
    // The caption's font sizes that can be drawn; a size outside them is stored and read as the nearer bound
    // (one that is not finite as the default).
    static constexpr double minimumFontSize = 6;
    static constexpr double maximumFontSize = 200;
    static constexpr double defaultBackgroundOpacity = 0.6;
    static constexpr bool defaultDarkMode = true;
    static inline const QString defaultLanguage = QStringLiteral("en-US");
    static constexpr bool defaultKeepTranscripts = false;

    static inline const QString fontSizeKey = QStringLiteral("fontSize");
    static inline const QString backgroundOpacityKey = QStringLiteral("backgroundOpacity");
    static inline const QString darkModeKey = QStringLiteral("darkMode");
    static inline const QString selectedLanguageKey = QStringLiteral("selectedLanguage");
    static inline const QString audioSourceKey = QStringLiteral("audioSource");
    static inline const QString keepTranscriptsKey = QStringLiteral("keepTranscripts");
    // Which recognizer captions run on: the accurate one (Whisper) where its model is installed and serves
    // the language, otherwise the light one (PocketSphinx).
    static inline const QString accurateEngine = QStringLiteral("accurate");
    static inline const QString lightEngine = QStringLiteral("light");
    static inline const QString recognitionEngineKey = QStringLiteral("recognitionEngine");
    static constexpr bool defaultStartAtLogin = false;
    static inline const QString startAtLoginKey = QStringLiteral("startAtLogin");

    // The one instance, on the user's settings file (organisation "ambrite", application "sonorel").
    static AppSettings &shared();

    // The user's settings file, shared with the application's other stored values.
    static QString userFileName();
    // A store on `fileName` when that is a regular file (or a link to one) or absent; otherwise, with an error
    // logged, a store that keeps values in memory only and fails to save.
    static std::unique_ptr<QSettings> openStore(const QString &fileName);

    // A store on a settings file of its own (see openStore).
    explicit AppSettings(const QString &fileName);
    explicit AppSettings(std::unique_ptr<QSettings> store);
    ~AppSettings();
    AppSettings(const AppSettings &) = delete;
    AppSettings &operator=(const AppSettings &) = delete;

    ObjectWillChange objectWillChange;

    double fontSize() const;
    void setFontSize(double value);
    double backgroundOpacity() const;
    void setBackgroundOpacity(double value);
    bool darkMode() const;
    void setDarkMode(bool value);
    QString selectedLanguage() const;
    void setSelectedLanguage(const QString &value);
    // accurateEngine or lightEngine; a missing or damaged value reads as accurateEngine.
    QString recognitionEngine() const;
    void setRecognitionEngine(const QString &value);
    // What captions listen to; a missing or damaged value is the whole mix.
    AudioSource audioSource() const;
    void setAudioSource(const AudioSource &value);
    // Whether each captioning session's sentences are appended to a file as they are finished.
    bool keepTranscripts() const;
    void setKeepTranscripts(bool value);
    // Whether Sonorel starts when the user logs in. A change is first made real by the login applier; when
    // that fails, the old value stays, so that the window shows what will happen at the next login.
    bool startAtLogin() const;
    void setStartAtLogin(bool value);
    using StartAtLoginApplier = std::function<bool(bool startAtLogin)>;
    void setStartAtLoginApplier(StartAtLoginApplier applier) { m_startAtLoginApplier = std::move(applier); }
    // A login entry that the user made for Sonorel, which starts it whatever the setting says and which Sonorel
    // leaves alone: where it is, or empty when there is none. Asked afresh on every call.
    QString usersOwnLoginEntry() const { return m_usersOwnLoginEntry ? m_usersOwnLoginEntry() : QString(); }
    using UsersOwnLoginEntryProvider = std::function<QString()>;
    void setUsersOwnLoginEntryProvider(UsersOwnLoginEntryProvider provider)
    {
        m_usersOwnLoginEntry = std::move(provider);
    }

    // Whether the selected language is written right to left.
    bool isRightToLeft() const;
    static bool isRightToLeft(const QString &localeIdentifier);

    QString fileName() const;

    // The languages that can be offered: the rows of the language table whose code the speech engine
    // supports, in table order. Computed afresh on every call.
    QList<LanguageEntry> availableLanguages() const;
    static QList<LanguageEntry> filterLanguages(const QStringList &supportedLocales);
    static const QList<LanguageEntry> &languageTable();

    // Where availableLanguages() learns which locales the speech engine supports, given by whoever puts
    // the application together. Without a provider, none.
    using SupportedLocalesProvider = std::function<QStringList()>;
    void setSupportedLocalesProvider(SupportedLocalesProvider provider) { m_supportedLocales = std::move(provider); }

private:
    double readDouble(const QString &key, double fallback) const;
    bool readBool(const QString &key, bool fallback) const;
    void write(const QString &key, const QVariant &value);

    std::unique_ptr<QSettings> m_store;
    QString m_fileName;
    SupportedLocalesProvider m_supportedLocales;
    StartAtLoginApplier m_startAtLoginApplier;
    UsersOwnLoginEntryProvider m_usersOwnLoginEntry;
};
