#include "platform/WhisperEngine.h"

#include "base/BackgroundDisposal.h"
#include "base/Log.h"
#include "platform/WhisperDecoder.h"
#include "platform/WhisperModel.h"
#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <whisper.h>

namespace {

constexpr const char *modelName = "ggml-base-q8_0.bin";

class WhisperRecognizer final : public SpeechRecognizer
{
public:
    WhisperRecognizer(std::shared_ptr<WhisperModel> model, QString localeIdentifier,
        SegmentedRecognitionTask::Options options, UtteranceDecoderSource fallback)
        : m_model(std::move(model)), m_locale(std::move(localeIdentifier)), m_options(std::move(options)),
          m_fallback(std::move(fallback))
    { }

    QString localeIdentifier() const override { return m_locale; }
    QString engineName() const override { return AppSettings::accurateEngine; }
    bool isAvailable() const override { return m_model->isUsable(); }
    bool supportsOnDeviceRecognition() const override { return true; }

    std::shared_ptr<SpeechRecognitionTask> recognitionTask(
        std::shared_ptr<SpeechAudioRequest> request, ResultHandler handler) override
    {
        SegmentedRecognitionTask::Options options = m_options;
        options.wake = [model = std::weak_ptr<WhisperModel>(m_model)] {
            if (const auto m = model.lock())
                m->wake();
        };
        options.lighter = m_fallback;
        WhisperDecoder::Options decoding;
        decoding.language = m_locale.section(u'-', 0, 0);
        auto decoders = [model = m_model, decoding, fallback = m_fallback](
                            const std::atomic<bool> &cancelled, QString *error) -> std::unique_ptr<UtteranceDecoder> {
            QString failure;
            if (auto decoder = WhisperDecoder::acquire(model, decoding, cancelled, &failure); decoder || cancelled)
                return decoder;
            if (!fallback) {
                *error = failure;
                return nullptr;
            }
            auto decoder = fallback(cancelled, error);
            if (decoder)
                *error
                    = QCoreApplication::translate("WhisperEngine", "%1 Captions use the light speech engine instead.")
                          .arg(failure);
            else if (error->isEmpty())
                *error = failure; // nothing to fall back on for this language
            return decoder;
        };
        return SegmentedRecognitionTask::launch(
            std::move(decoders), std::move(request), std::move(handler), m_locale, std::move(options));
    }

private:
    std::shared_ptr<WhisperModel> m_model;
    QString m_locale;
    SegmentedRecognitionTask::Options m_options;
    UtteranceDecoderSource m_fallback;
};

} // namespace

WhisperEngine::WhisperEngine(Options options) : m_options(std::move(options))
{ }

WhisperEngine::~WhisperEngine() = default;

QStringList WhisperEngine::defaultModelFiles()
{
    QStringList files;
    if (const QString file = qEnvironmentVariable("SONOREL_WHISPER_MODEL"); !file.isEmpty())
        files << file;
    files << QDir::homePath() + QStringLiteral("/.local/share/sonorel/models/whisper/") + QLatin1String(modelName);
    files << QStringLiteral("/usr/share/sonorel/models/whisper/") + QLatin1String(modelName);
    return files;
}

QByteArray WhisperEngine::defaultModelSha256()
{
    return QByteArrayLiteral(SONOREL_WHISPER_MODEL_SHA256);
}

QStringList WhisperEngine::whisperLocales()
{
    // Asked of Whisper's own list rather than of whisper_lang_id(), which complains on standard error.
    static const QStringList locales = [] {
        QStringList known;
        for (int id = 0; id <= whisper_lang_max_id(); ++id)
            known << QString::fromUtf8(whisper_lang_str(id));
        QStringList served;
        for (const LanguageEntry &entry : AppSettings::languageTable()) {
            if (known.contains(entry.code.section(u'-', 0, 0)))
                served << entry.code;
        }
        return served;
    }();
    return locales;
}

QString WhisperEngine::modelFile() const
{
    for (const QString &file : m_options.modelFiles) {
        if (QFileInfo(file).isFile())
            return file;
    }
    return QString();
}

QStringList WhisperEngine::supportedLocales() const
{
    return modelFile().isEmpty() ? QStringList() : whisperLocales();
}

std::shared_ptr<WhisperModel> WhisperEngine::model(const QString &file)
{
    std::lock_guard lock(m_mutex);
    if (!m_model || m_model->path() != file)
        m_model = BackgroundDisposal::makeShared<WhisperModel>(file, m_options.sha256);
    return m_model;
}

std::shared_ptr<SpeechRecognizer> WhisperEngine::recognizer(const QString &localeIdentifier)
{
    const QString file = modelFile();
    if (file.isEmpty() || !whisperLocales().contains(localeIdentifier))
        return nullptr;
    return std::make_shared<WhisperRecognizer>(model(file), localeIdentifier, m_options.task,
        m_options.fallback ? m_options.fallback(localeIdentifier) : nullptr);
}
