#pragma once

// PUBLIC CONTRACT (used by the desktop application and its views). The captioning work fills in the
// private part and the .cpp; the public members below keep these names and meanings.

#include "CaptioningServices.h"
#include "ObjectWillChange.h"
#include "Published.h"
#include "Subscription.h"

#include <QObject>
#include <QString>

#include <memory>

class AppSettings;
class AudioCaptureManager;
class PermissionManager;
class SpeechRecognitionManager;

// The controller of a captioning session, confined to the main thread.
class CaptionViewModel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptionViewModel)

public:
    explicit CaptionViewModel(CaptioningServices services, AppSettings &settings, QObject *parent = nullptr);
    ~CaptionViewModel() override;

    ObjectWillChange objectWillChange;
    Published<bool> isRunning{false, &objectWillChange};
    Published<QString> captionText{QString(), &objectWillChange};
    Published<QString> errorMessage{QString(), &objectWillChange}; // empty: no error
    Published<bool> clickThrough{false, &objectWillChange};

    static inline const QString siriHelpMessage = QStringLiteral(
        "Siri and Dictation are disabled. Please enable either Siri or Dictation in your settings to use Sonorel.");
    static constexpr int maxLines = 50;

    void start(); // returns at once; outcomes arrive through isRunning and errorMessage
    void stop();
    void dismissError();

    // The caption bounds: more than 50 lines keeps the last 25; then more than 4000 characters keeps
    // the last 2000 (user-perceived characters).
    static QString trimmedCaption(const QString &text);

    PermissionManager &permissionManager();
    AudioCaptureManager &audioCapture();
    SpeechRecognitionManager &speech();

private:
    // filled in by the captioning work
};
