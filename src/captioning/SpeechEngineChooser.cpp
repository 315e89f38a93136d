#include "captioning/SpeechEngineChooser.h"

#include "settings/AppSettings.h"

SpeechEngineChooser::SpeechEngineChooser(
    std::shared_ptr<SpeechEngine> accurate, std::shared_ptr<SpeechEngine> light, Preference preference)
    : m_accurate(std::move(accurate)), m_light(std::move(light)), m_preference(std::move(preference))
{ }

const SpeechEngineChooser::Locales &SpeechEngineChooser::locales() const
{
    std::call_once(m_scanned, [this] {
        if (m_accurate)
            m_locales.accurate = m_accurate->supportedLocales();
        if (m_light)
            m_locales.light = m_light->supportedLocales();
    });
    return m_locales;
}

QStringList SpeechEngineChooser::supportedLocales() const
{
    QStringList all = locales().accurate;
    for (const QString &locale : locales().light) {
        if (!all.contains(locale))
            all << locale;
    }
    return all;
}

bool SpeechEngineChooser::accurateUsable(const QString &localeIdentifier) const
{
    if (!locales().accurate.contains(localeIdentifier))
        return false;
    std::lock_guard lock(m_mutex);
    return !m_lastAccurate || m_lastAccurate->isAvailable();
}

QString SpeechEngineChooser::engineFor(const QString &localeIdentifier) const
{
    const bool light = locales().light.contains(localeIdentifier);
    const bool accurate = accurateUsable(localeIdentifier);
    if (accurate && (!light || m_preference() != AppSettings::lightEngine))
        return AppSettings::accurateEngine;
    return light ? AppSettings::lightEngine : QString();
}

std::shared_ptr<SpeechRecognizer> SpeechEngineChooser::recognizer(const QString &localeIdentifier)
{
    if (engineFor(localeIdentifier) == AppSettings::accurateEngine) {
        auto recognizer = m_accurate->recognizer(localeIdentifier);
        std::lock_guard lock(m_mutex);
        m_lastAccurate = recognizer;
        if (recognizer)
            return recognizer;
    }
    if (locales().light.contains(localeIdentifier))
        return m_light->recognizer(localeIdentifier);
    // Nothing else serves it: the accurate engine's recognizer, usable or not, says why.
    return locales().accurate.contains(localeIdentifier) ? m_accurate->recognizer(localeIdentifier) : nullptr;
}
