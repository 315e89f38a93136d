#pragma once

#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"
#include "captioning/CaptioningServices.h"

#include <memory>

// Fake desktop services for a caption controller: permission granted, an engine that speaks US English.
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
