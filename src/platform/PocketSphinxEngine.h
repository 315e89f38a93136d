#pragma once

#include "captioning/SegmentedRecognitionTask.h"
#include "captioning/SpeechEngine.h"

#include <QStringList>

#include <map>
#include <memory>
#include <mutex>

class PocketSphinxModel;
struct PocketSphinxModelFiles;

// Speech recognition on the device with PocketSphinx. The locales are the installed model folders;
// recognizers are cheap handles onto a model that the engine loads once, in the background, and keeps
// while its locale is in use.
class PocketSphinxEngine final : public SpeechEngine
{
public:
    struct Options {
        // Searched in order; the first folder that has a model for a locale wins.
        QStringList modelRoots = defaultModelRoots();
        SegmentedRecognitionTask::Options task = defaultTaskOptions();
        // Decoder settings given as "-name", "value" pairs, over PocketSphinxModel::decoderArguments().
        QStringList decoderSettings;
    };

    // The front end and suppressor that captions run with.
    static SegmentedRecognitionTask::Options defaultTaskOptions();

    // Also makes this engine's locales the ones the settings offer.
    PocketSphinxEngine();
    explicit PocketSphinxEngine(Options options);
    ~PocketSphinxEngine() override;

    // $SONOREL_MODEL_PATH (folders separated by ':'), ~/.local/share/sonorel/models, then Debian's
    // /usr/share/pocketsphinx/model.
    static QStringList defaultModelRoots();
    static QStringList localesIn(const QStringList &modelRoots);

    QStringList supportedLocales() const override;
    std::shared_ptr<SpeechRecognizer> recognizer(const QString &localeIdentifier) override;
    // A source of this engine's decoders for a locale, for another engine's tasks to fall back on; null
    // when there is no model for it.
    UtteranceDecoderSource decoderSource(const QString &localeIdentifier);

private:
    std::shared_ptr<PocketSphinxModel> model(const PocketSphinxModelFiles &files);

    const Options m_options;
    std::mutex m_mutex;
    // Models stay loaded while a recognizer or task holds them; the one last asked for is kept besides,
    // so that replacing a recognizer by a new one for the same locale never reloads.
    std::map<QString, std::weak_ptr<PocketSphinxModel>> m_models;
    std::shared_ptr<PocketSphinxModel> m_current;
};
