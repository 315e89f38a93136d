#pragma once

#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "captioning/CaptioningServices.h"

#include <memory>

// The desktop services a caption controller needs, all fakes a test drives by hand: permission granted,
// a capture service whose streams the test feeds, and an engine that speaks US English.
struct FakeCaptioning {
    std::shared_ptr<FakePermissionService> permissions = std::make_shared<FakePermissionService>();
    std::shared_ptr<FakeAudioCaptureService> capture = std::make_shared<FakeAudioCaptureService>();
    std::shared_ptr<FakeSpeechEngine> engine = std::make_shared<FakeSpeechEngine>();

    explicit FakeCaptioning(FakeSpeechEngine::Presence presence = FakeSpeechEngine::Presence::present)
    {
        engine->setLocale(QStringLiteral("en-US"), presence);
    }
    CaptioningServices services() const { return { permissions, capture, engine }; }
};
