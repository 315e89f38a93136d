#include "platform/DesktopServices.h"

#include "platform/DesktopPermissionService.h"
#include "platform/PocketSphinxEngine.h"
#include "platform/PulseAudioCaptureService.h"

CaptioningServices makeDesktopCaptioningServices(bool soundFrontEnd)
{
    CaptioningServices services;
    services.permissions = std::make_shared<DesktopPermissionService>();
    services.capture = std::make_shared<PulseAudioCaptureService>();
    PocketSphinxEngine::Options speech;
    speech.task.frontEnd = soundFrontEnd;
    services.speechEngine = std::make_shared<PocketSphinxEngine>(speech);
    return services;
}
