#include "settings/AppSettings.h"

#include "base/Log.h"
#include "base/UserFolders.h"

#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace { } // namespace

AppSettings &AppSettings::shared()
{
    static AppSettings instance(userFileName());
    return instance;
}

QString AppSettings::userFileName()
{
    // Where QSettings puts the native-format file of organisation "ambrite", application "sonorel", with the
    // configuration folder found by the XDG rules, which QSettings does not follow for a relative value.
    const QString config = UserFolders::configHome();
    return config.isEmpty() ? QString() : config + QStringLiteral("/ambrite/sonorel.conf");
}

std::unique_ptr<QSettings> AppSettings::openStore(const QString &fileName)
{
    // QSettings reads the file as it is constructed, and reading a FIFO or a device waits for a writer that
    // may never come, so anything but a regular file is left alone. A store without a file keeps changes
    // in memory for the session and fails every save, which write() reports.
    if (fileName.isEmpty()) {
        SLOG_ERROR(lcApp,
            "No configuration folder: neither XDG_CONFIG_HOME nor HOME names a usable one; settings "
            "are kept until Sonorel quits");
        return std::make_unique<QSettings>(QString(), QSettings::NativeFormat);
    }
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile()) {
        SLOG_ERROR(lcApp, "Settings file %{public}s is not a regular file; using the defaults", fileName);
        return std::make_unique<QSettings>(QString(), QSettings::NativeFormat);
    }
    return std::make_unique<QSettings>(fileName, QSettings::NativeFormat);
}

AppSettings::AppSettings(const QString &fileName) : AppSettings(openStore(fileName))
{
    m_fileName = fileName;
}

AppSettings::AppSettings(std::unique_ptr<QSettings> store) : m_store(std::move(store)), m_fileName(m_store->fileName())
{
    m_store->setFallbacksEnabled(false);
}

AppSettings::~AppSettings() = default;

QString AppSettings::fileName() const
{
    return m_fileName;
}

double AppSettings::readDouble(const QString &key, double fallback) const
{
    const QVariant raw = m_store->value(key);
    if (!raw.isValid())
        return fallback;
    bool ok = false;
    double value = 0;
    switch (raw.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        value = raw.toDouble(&ok);
        break;
    case QMetaType::QString:
        // The settings file keeps numbers as text; anything but a plain number is a hand edit gone wrong.
        value = raw.toString().trimmed().toDouble(&ok);
        break;
    default:
        break;
    }
    return ok && std::isfinite(value) ? value : fallback;
}

void AppSettings::write(const QString &key, const QVariant &value)
{
    m_store->setValue(key, value);
    m_store->sync();
    if (m_store->status() != QSettings::NoError)
        SLOG_ERROR(lcApp, "Failed to write settings file %{public}s", m_fileName);
}

double AppSettings::fontSize() const
{
    return std::clamp(readDouble(fontSizeKey, defaultFontSize), minimumFontSize, maximumFontSize);
}

void AppSettings::setFontSize(double value)
{
    objectWillChange.send();
    write(fontSizeKey, std::isfinite(value) ? std::clamp(value, minimumFontSize, maximumFontSize) : defaultFontSize);
}

double AppSettings::backgroundOpacity() const
{
    return readDouble(backgroundOpacityKey, defaultBackgroundOpacity);
}

void AppSettings::setBackgroundOpacity(double value)
{
    objectWillChange.send();
    write(backgroundOpacityKey, value);
}

bool AppSettings::readBool(const QString &key, bool fallback) const
{
    const QVariant raw = m_store->value(key);
    if (raw.typeId() == QMetaType::Bool)
        return raw.toBool();
    if (raw.typeId() == QMetaType::QString) {
        const QString text = raw.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || text == QLatin1String("1"))
            return true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || text == QLatin1String("0"))
            return false;
    }
    return fallback;
}

bool AppSettings::darkMode() const
{
    return readBool(darkModeKey, defaultDarkMode);
}

void AppSettings::setDarkMode(bool value)
{
    objectWillChange.send();
    write(darkModeKey, value);
}

bool AppSettings::keepTranscripts() const
{
    return readBool(keepTranscriptsKey, defaultKeepTranscripts);
}

void AppSettings::setKeepTranscripts(bool value)
{
    objectWillChange.send();
    write(keepTranscriptsKey, value);
}

QString AppSettings::selectedLanguage() const
{
    const QVariant raw = m_store->value(selectedLanguageKey);
    return raw.typeId() == QMetaType::QString ? raw.toString() : defaultLanguage;
}

void AppSettings::setSelectedLanguage(const QString &value)
{
    objectWillChange.send();
    write(selectedLanguageKey, value);
}

QString AppSettings::recognitionEngine() const
{
    const QVariant raw = m_store->value(recognitionEngineKey);
    return raw.typeId() == QMetaType::QString && raw.toString() == lightEngine ? lightEngine : accurateEngine;
}

void AppSettings::setRecognitionEngine(const QString &value)
{
    objectWillChange.send();
    write(recognitionEngineKey, value == lightEngine ? lightEngine : accurateEngine);
}

AudioSource AppSettings::audioSource() const
{
    const QVariant raw = m_store->value(audioSourceKey);
    return AudioSource::fromSetting(raw.typeId() == QMetaType::QString ? raw.toString() : QString());
}

void AppSettings::setAudioSource(const AudioSource &value)
{
    objectWillChange.send();
    write(audioSourceKey, value.settingValue());
}

bool AppSettings::startAtLogin() const
{
    const QVariant raw = m_store->value(startAtLoginKey);
    if (raw.typeId() == QMetaType::Bool)
        return raw.toBool();
    // Anything but the words a settings file keeps for a switch is off: starting at login is asked for.
    return raw.typeId() == QMetaType::QString
        && raw.toString().trimmed().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

void AppSettings::setStartAtLogin(bool value)
{
    const bool changed = value != startAtLogin();
    objectWillChange.send();
    if (changed && m_startAtLoginApplier && !m_startAtLoginApplier(value))
        return;
    write(startAtLoginKey, value);
}

bool AppSettings::isRightToLeft() const
{
    return isRightToLeft(selectedLanguage());
}

bool AppSettings::isRightToLeft(const QString &localeIdentifier)
{
    // The language code is what comes before the first separator ("ar" of "ar-SA").
    const QString language = localeIdentifier.section(QRegularExpression(QStringLiteral("[-_@.]")), 0, 0);
    if (language.isEmpty())
        return false;
    const QLocale locale(language);
    if (locale.language() == QLocale::C || locale.language() == QLocale::AnyLanguage)
        return false;
    return locale.textDirection() == Qt::RightToLeft;
}

QList<LanguageEntry> AppSettings::availableLanguages() const
{
    return filterLanguages(m_supportedLocales ? m_supportedLocales() : QStringList());
}

QList<LanguageEntry> AppSettings::filterLanguages(const QStringList &supportedLocales)
{
    const QSet<QString> supported(supportedLocales.cbegin(), supportedLocales.cend());
    QList<LanguageEntry> kept;
    for (const auto &entry : languageTable()) {
        if (supported.contains(entry.code))
            kept.append(entry);
    }
    return kept;
}

const QList<LanguageEntry> &AppSettings::languageTable()
{
    static const QList<LanguageEntry> table = [] {
        static constexpr const char *rows[][2] = {
            { "en-US", "English (US)" },
            { "en-GB", "English (UK)" },
            { "es-ES", "Spanish (Spain)" },
            { "es-MX", "Spanish (Mexico)" },
            { "fr-FR", "French (France)" },
            { "fr-CA", "French (Canada)" },
            { "de-DE", "German" },
            { "it-IT", "Italian" },
            { "pt-BR", "Portuguese (Brazil)" },
            { "pt-PT", "Portuguese (Portugal)" },
            { "zh-CN", "Chinese (Simplified)" },
            { "zh-TW", "Chinese (Traditional)" },
            { "ja-JP", "Japanese" },
            { "ko-KR", "Korean" },
            { "ru-RU", "Russian" },
            { "ar-SA", "Arabic" },
            { "hi-IN", "Hindi" },
            { "th-TH", "Thai" },
            { "vi-VN", "Vietnamese" },
            { "nl-NL", "Dutch" },
            { "sv-SE", "Swedish" },
            { "da-DK", "Danish" },
            { "no-NO", "Norwegian" },
            { "fi-FI", "Finnish" },
            { "pl-PL", "Polish" },
            { "cs-CZ", "Czech" },
            { "hu-HU", "Hungarian" },
            { "ro-RO", "Romanian" },
            { "sk-SK", "Slovak" },
            { "sl-SI", "Slovenian" },
            { "hr-HR", "Croatian" },
            { "bg-BG", "Bulgarian" },
            { "uk-UA", "Ukrainian" },
            { "tr-TR", "Turkish" },
            { "he-IL", "Hebrew" },
            { "fa-IR", "Persian" },
            { "ur-PK", "Urdu" },
            { "bn-BD", "Bengali" },
            { "ta-IN", "Tamil" },
            { "te-IN", "Telugu" },
            { "ml-IN", "Malayalam" },
            { "kn-IN", "Kannada" },
            { "gu-IN", "Gujarati" },
            { "mr-IN", "Marathi" },
            { "pa-IN", "Punjabi" },
            { "ne-NP", "Nepali" },
            { "si-LK", "Sinhala" },
            { "my-MM", "Burmese" },
            { "km-KH", "Khmer" },
            { "lo-LA", "Lao" },
            { "ka-GE", "Georgian" },
            { "am-ET", "Amharic" },
            { "sw-TZ", "Swahili" },
            { "zu-ZA", "Zulu" },
            { "af-ZA", "Afrikaans" },
            { "is-IS", "Icelandic" },
            { "mt-MT", "Maltese" },
            { "cy-GB", "Welsh" },
            { "ga-IE", "Irish" },
            { "eu-ES", "Basque" },
            { "ca-ES", "Catalan" },
            { "gl-ES", "Galician" },
            { "et-EE", "Estonian" },
            { "lv-LV", "Latvian" },
            { "lt-LT", "Lithuanian" },
            { "mk-MK", "Macedonian" },
            { "sq-AL", "Albanian" },
            { "sr-RS", "Serbian" },
            { "bs-BA", "Bosnian" },
            { "mn-MN", "Mongolian" },
            { "kk-KZ", "Kazakh" },
            { "ky-KG", "Kyrgyz" },
            { "uz-UZ", "Uzbek" },
            { "tg-TJ", "Tajik" },
            { "az-AZ", "Azerbaijani" },
            { "hy-AM", "Armenian" },
        };
        QList<LanguageEntry> list;
        list.reserve(std::size(rows));
        for (const auto &row : rows)
            list.append({ QString::fromLatin1(row[0]), QString::fromLatin1(row[1]) });
        return list;
    }();
    return table;
}
