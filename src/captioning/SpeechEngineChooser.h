#pragma once

#include "captioning/SpeechEngine.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// Puts two engines behind one: an accurate one, preferred, and a light one that also stands in where the
// accurate one cannot (a language it lacks, a model that failed to load, or the user's choice). The
// locales offered are those of either. Each engine's locale list is read once, on first use, so that a
// settings window or a settings change never rescans model folders.
class SpeechEngineChooser final : public SpeechEngine
{
public:
    // AppSettings::accurateEngine or AppSettings::lightEngine, read at each choice.
    using Preference = std::function<QString()>;

    SpeechEngineChooser(
        std::shared_ptr<SpeechEngine> accurate, std::shared_ptr<SpeechEngine> light, Preference preference);

    QStringList supportedLocales() const override;
    std::shared_ptr<SpeechRecognizer> recognizer(const QString &localeIdentifier) override;
    // "accurate" or "light": the engine that recognizer() would choose for the locale now.
    QString engineFor(const QString &localeIdentifier) const override;

private:
    struct Locales {
        QStringList accurate;
        QStringList light;
    };
    const Locales &locales() const;
    bool accurateUsable(const QString &localeIdentifier) const;

    const std::shared_ptr<SpeechEngine> m_accurate;
    const std::shared_ptr<SpeechEngine> m_light;
    const Preference m_preference;
    mutable std::once_flag m_scanned;
    mutable Locales m_locales;
    // The accurate engine's last recognizer: once its model has failed, the light engine stands in.
    mutable std::mutex m_mutex;
    std::shared_ptr<SpeechRecognizer> m_lastAccurate;
};
