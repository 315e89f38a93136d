#include "platform/PocketSphinxEngine.h"

#include "base/BackgroundDisposal.h"
#include "base/Log.h"
#include "platform/PocketSphinxDecoder.h"
#include "platform/PocketSphinxModel.h"
#include "settings/AppSettings.h"

#include <QDir>
#include <QStandardPaths>

namespace {

std::optional<PocketSphinxModelFiles> findModel(const QStringList &roots, const QString &localeIdentifier)
{
    for (const QString &root : roots) {
        const QDir dir(root);
        for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (PocketSphinxModelFiles::localeIdentifierForFolderName(name) != localeIdentifier)
                continue;
            if (auto files = PocketSphinxModelFiles::inspect(dir.filePath(name)))
                return files;
        }
    }
    return std::nullopt;
}

class PocketSphinxRecognizer final : public SpeechRecognizer
{
public:
    PocketSphinxRecognizer(
        std::shared_ptr<PocketSphinxModel> model, QString localeIdentifier, SegmentedRecognitionTask::Options options)
        : m_model(std::move(model)), m_locale(std::move(localeIdentifier)), m_options(options)
    { }

    QString localeIdentifier() const override { return m_locale; }
    QString engineName() const override { return AppSettings::lightEngine; }
    bool isAvailable() const override { return m_model->isUsable(); }
    bool supportsOnDeviceRecognition() const override { return true; }

    std::shared_ptr<SpeechRecognitionTask> recognitionTask(
        std::shared_ptr<SpeechAudioRequest> request, ResultHandler handler) override
    {
        SegmentedRecognitionTask::Options options = m_options;
        options.wake = [model = std::weak_ptr<PocketSphinxModel>(m_model)] {
            if (const auto m = model.lock())
                m->wake();
        };
        auto decoders = [model = m_model](const std::atomic<bool> &cancelled, QString *error) {
            return PocketSphinxDecoder::acquire(model, cancelled, error);
        };
        return SegmentedRecognitionTask::launch(
            std::move(decoders), std::move(request), std::move(handler), m_locale, std::move(options));
    }

private:
    std::shared_ptr<PocketSphinxModel> m_model;
    QString m_locale;
    SegmentedRecognitionTask::Options m_options;
};

} // namespace

PocketSphinxEngine::PocketSphinxEngine() : PocketSphinxEngine(Options {})
{ }

SegmentedRecognitionTask::Options PocketSphinxEngine::defaultTaskOptions()
{
    // Level only. Both suppressors at hand (speexdsp's and WebRTC's, at every strength) made this
    // recognizer's errors more frequent on the degraded recordings of bench_robustness, clean speech
    // included: it removes noise itself and is thrown by what a second suppressor leaves behind.
    SegmentedRecognitionTask::Options options;
    options.frontEnd = true;
    options.noiseSuppressor = nullptr;
    return options;
}

PocketSphinxEngine::PocketSphinxEngine(Options options) : m_options(std::move(options))
{
    PocketSphinxDiagnostics::install();
}

PocketSphinxEngine::~PocketSphinxEngine() = default;

QStringList PocketSphinxEngine::defaultModelRoots()
{
    QStringList roots;
    const QString fromEnvironment = qEnvironmentVariable("SONOREL_MODEL_PATH");
    for (const QString &p : fromEnvironment.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        roots << p;
    roots << QDir::homePath() + QStringLiteral("/.local/share/sonorel/models");
    roots << QStringLiteral("/usr/share/pocketsphinx/model");
    return roots;
}

QStringList PocketSphinxEngine::localesIn(const QStringList &modelRoots)
{
    QStringList locales;
    for (const QString &root : modelRoots) {
        const QDir dir(root);
        for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            const QString locale = PocketSphinxModelFiles::localeIdentifierForFolderName(name);
            if (!locale.isEmpty() && !locales.contains(locale) && PocketSphinxModelFiles::inspect(dir.filePath(name)))
                locales << locale;
        }
    }
    return locales;
}

QStringList PocketSphinxEngine::supportedLocales() const
{
    return localesIn(m_options.modelRoots);
}

std::shared_ptr<PocketSphinxModel> PocketSphinxEngine::model(const PocketSphinxModelFiles &files)
{
    std::lock_guard lock(m_mutex);
    std::shared_ptr<PocketSphinxModel> model;
    if (const auto it = m_models.find(files.localeIdentifier); it != m_models.end())
        model = it->second.lock();
    if (!model || model->files().folder != files.folder || !model->isUsable()) {
        // A model let go of while another loads would wait for that load to free its decoder: the wait
        // happens on the disposal thread, never on the GUI thread that switched languages.
        model = BackgroundDisposal::makeShared<PocketSphinxModel>(files, m_options.decoderSettings);
        m_models[files.localeIdentifier] = model;
    }
    // A locale no longer selected is released once its last recognizer and task are gone.
    m_current = model;
    std::erase_if(m_models, [](const auto &entry) { return entry.second.expired(); });
    return model;
}

std::shared_ptr<SpeechRecognizer> PocketSphinxEngine::recognizer(const QString &localeIdentifier)
{
    const auto files = findModel(m_options.modelRoots, localeIdentifier);
    if (!files)
        return nullptr;
    return std::make_shared<PocketSphinxRecognizer>(model(*files), localeIdentifier, m_options.task);
}

UtteranceDecoderSource PocketSphinxEngine::decoderSource(const QString &localeIdentifier)
{
    const auto files = findModel(m_options.modelRoots, localeIdentifier);
    if (!files)
        return nullptr;
    return [model = model(*files)](const std::atomic<bool> &cancelled, QString *error) {
        return PocketSphinxDecoder::acquire(model, cancelled, error);
    };
}
