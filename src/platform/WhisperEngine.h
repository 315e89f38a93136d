#pragma once

#include "captioning/SegmentedRecognitionTask.h"
#include "captioning/SpeechEngine.h"

#include <QByteArray>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

class WhisperModel;

// Speech recognition on the device with Whisper through whisper.cpp: one multilingual model for every
// language of the settings' table that Whisper knows, loaded once in the background and kept while in use.
// Where the model cannot be loaded, a task falls back on another engine's decoder for its locale (when
// there is one) and says so once.
class WhisperEngine final : public SpeechEngine
{
public:
    struct Options {
        // The first of these files that exists is the model.
        QStringList modelFiles = defaultModelFiles();
        // The SHA-256 (hex) the model must have; empty checks nothing.
        QByteArray sha256 = defaultModelSha256();
        SegmentedRecognitionTask::Options task;
        // Another engine's decoders for a locale, to fall back on and to turn to when Whisper cannot keep up.
        std::function<UtteranceDecoderSource(const QString &localeIdentifier)> fallback;
    };

    explicit WhisperEngine(Options options);
    ~WhisperEngine() override;

    // $SONOREL_WHISPER_MODEL, then the user's ~/.local/share/sonorel/models/whisper and the system's
    // /usr/share/sonorel/models/whisper, each holding ggml-base-q8_0.bin.
    static QStringList defaultModelFiles();
    static QByteArray defaultModelSha256();
    // The table's locales whose language Whisper knows.
    static QStringList whisperLocales();

    // Empty when no model file is installed.
    QStringList supportedLocales() const override;
    std::shared_ptr<SpeechRecognizer> recognizer(const QString &localeIdentifier) override;

private:
    QString modelFile() const;
    std::shared_ptr<WhisperModel> model(const QString &file);

    const Options m_options;
    std::mutex m_mutex;
    std::shared_ptr<WhisperModel> m_model;
};
