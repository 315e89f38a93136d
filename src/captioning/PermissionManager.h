#pragma once

#include "captioning/PermissionService.h"
#include "captioning/PermissionState.h"

#include <functional>
#include <memory>

// Answers whether speech recognition and system-audio capture are permitted, and asks when needed.
// Holds no state: every query asks the service again. Used on the main thread; request completions are
// always called on the main thread, on a later turn of its event loop, never inside the request call.
class PermissionManager final
{
public:
    using Completion = std::function<void(PermissionState)>;

    explicit PermissionManager(std::shared_ptr<PermissionService> service);

    PermissionState speechStatus();
    void requestSpeech(Completion completion);
    PermissionState screenStatus();
    void requestScreen(Completion completion);

    static PermissionState mapSpeechStatus(int status);

private:
    std::shared_ptr<PermissionService> m_service;
};
