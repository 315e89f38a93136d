#pragma once

#include <functional>

// The desktop's gatekeeper for speech recognition and for recording what the computer plays.
class PermissionService
{
public:
    // Speech authorization statuses as the gatekeeper reports them; other values may appear.
    enum SpeechStatus : int { NotDetermined = 0, Denied = 1, Restricted = 2, Authorized = 3 };

    virtual ~PermissionService() = default;

    virtual int speechAuthorizationStatus() = 0;
    // Asks the user if needed. The handler may be called on any thread, once.
    virtual void requestSpeechAuthorization(std::function<void(int status)> handler) = 0;
    // Whether capture is allowed now, without asking.
    virtual bool screenCaptureAccess() = 0;
    // Asks for capture access; answers at once with whether it is granted.
    virtual bool requestScreenCaptureAccess() = 0;
};
