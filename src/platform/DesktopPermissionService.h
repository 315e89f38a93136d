#pragma once

#include "captioning/PermissionService.h"

// Linux desktops gate neither speech recognition nor capture of the sound server's monitor:
// everything is authorized, at once.
class DesktopPermissionService final : public PermissionService
{
public:
    int speechAuthorizationStatus() override { return Authorized; }
    void requestSpeechAuthorization(std::function<void(int)> handler) override { handler(Authorized); }
    bool screenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }
};
