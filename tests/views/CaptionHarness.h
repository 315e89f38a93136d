#pragma once

#include "AppSettings.h"
#include "CaptionViewModel.h"
#include "FakeAudioCaptureService.h"
#include "FakePermissionService.h"
#include "FakeSpeechEngine.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>

// A caption controller on fake desktop services and a settings store in a file of its own.
struct CaptionHarness {
    QTemporaryDir dir;
    std::shared_ptr<FakePermissionService> permissions = std::make_shared<FakePermissionService>();
    std::shared_ptr<FakeAudioCaptureService> capture = std::make_shared<FakeAudioCaptureService>();
    std::shared_ptr<FakeSpeechEngine> engine = std::make_shared<FakeSpeechEngine>();
    AppSettings settings { dir.filePath(QStringLiteral("settings.conf")) };
    std::unique_ptr<CaptionViewModel> viewModel;

    CaptionHarness()
    {
        engine->setLocale(QStringLiteral("en-US"));
        viewModel = std::make_unique<CaptionViewModel>(services(), settings);
        // The controller's own subscriptions hand over their first values on the next turn; let them land
        // before a test stores values of its own.
        QCoreApplication::processEvents();
    }

    CaptioningServices services() const { return CaptioningServices { permissions, capture, engine }; }
};
