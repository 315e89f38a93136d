#pragma once

#include <memory>

class AudioCaptureService;
class PermissionService;
class SpeechEngine;

// The desktop services the captioning pipeline runs on. The application fills them with the Linux
// backends in one place; tests fill them with fakes where a fault must be injected.
struct CaptioningServices {
    std::shared_ptr<PermissionService> permissions;
    std::shared_ptr<AudioCaptureService> capture;
    std::shared_ptr<SpeechEngine> speechEngine;
};
