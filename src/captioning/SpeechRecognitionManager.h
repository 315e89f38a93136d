#pragma once

// PUBLIC CONTRACT between the session controller and the speech recognition work. Private members and
// the .cpp are the speech work's; the public members keep these names and meanings.

#include "AudioBuffer.h"
#include "ObjectWillChange.h"
#include "PlatformError.h"
#include "Published.h"
#include "Subscription.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class AppSettings;
class SpeechEngine;
class SpeechRecognizer; // defined in SpeechEngine.h; has `bool supportsOnDeviceRecognition() const`

// Turns audio buffers into the running transcription in the selected language. Main thread, except
// append(), which the capture thread calls for every buffer.
class SpeechRecognitionManager final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpeechRecognitionManager)

public:
    static constexpr int noRecognizerCode = -1;       // "Speech recognizer not available for selected language"
    static constexpr int recognizerUnavailableCode = -2; // "Speech recognizer not available"

    SpeechRecognitionManager(std::shared_ptr<SpeechEngine> engine, AppSettings &settings, QObject *parent = nullptr);
    ~SpeechRecognitionManager() override;

    ObjectWillChange objectWillChange;
    Published<QString> latestText{QString(), &objectWillChange};
    Published<QString> latestError{QString(), &objectWillChange};

    // The recognizer for the selected language, or null when there is none.
    std::shared_ptr<SpeechRecognizer> recognizer() const;

    // Starts a recognition task; an error in domain "Speech" with code -1 or -2 when it cannot.
    std::optional<PlatformError> start();
    void stop();
    // Capture thread. Copies or converts the samples before returning; never decodes.
    void append(const AudioBuffer &buffer);

private:
    // filled in by the speech work
};
