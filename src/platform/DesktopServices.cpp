#include "platform/DesktopServices.h"

#include "captioning/SpeechEngineChooser.h"
#include "platform/DesktopPermissionService.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/PulseAudioCaptureService.h"
#include "platform/WhisperEngine.h"
#include "settings/AppSettings.h"

CaptioningServices makeDesktopCaptioningServices(bool soundFrontEnd, std::function<QString()> enginePreference)
{
    CaptioningServices services;
    services.permissions = std::make_shared<DesktopPermissionService>();
    services.capture = std::make_shared<PulseAudioCaptureService>();
    PocketSphinxEngine::Options light;
    light.task.frontEnd = soundFrontEnd;
    auto pocketSphinx = std::make_shared<PocketSphinxEngine>(light);
    WhisperEngine::Options accurate;
    accurate.task.frontEnd = soundFrontEnd;
    // PocketSphinx's model is loaded, and its folders searched, only when it is needed, on the task's thread:
    // Whisper's model alone is twice its size, and a settings change must not rescan folders.
    accurate.fallback = [weak = std::weak_ptr<PocketSphinxEngine>(pocketSphinx)](const QString &locale) {
        return [weak, locale](const std::atomic<bool> &cancelled, QString *error) -> std::unique_ptr<UtteranceDecoder> {
            const auto engine = weak.lock();
            const UtteranceDecoderSource source = engine ? engine->decoderSource(locale) : nullptr;
            return source ? source(cancelled, error) : nullptr;
        };
    };
    if (!enginePreference)
        enginePreference = [] { return AppSettings::shared().recognitionEngine(); };
    services.speechEngine = std::make_shared<SpeechEngineChooser>(
        std::make_shared<WhisperEngine>(accurate), pocketSphinx, std::move(enginePreference));
    return services;
}

QStringList desktopSupportedLocales()
{
    static const QStringList locales = [] {
        QStringList all = WhisperEngine(WhisperEngine::Options {}).supportedLocales();
        for (const QString &locale : PocketSphinxEngine::localesIn(PocketSphinxEngine::defaultModelRoots())) {
            if (!all.contains(locale))
                all << locale;
        }
        return all;
    }();
    return locales;
}
