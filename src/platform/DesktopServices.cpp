#include "DesktopServices.h"

#include "DesktopPermissionService.h"
#include "PocketSphinxEngine.h"
#include "PulseAudioCaptureService.h"

CaptioningServices makeDesktopCaptioningServices()
{
    CaptioningServices services;
    services.permissions = std::make_shared<DesktopPermissionService>();
    services.capture = std::make_shared<PulseAudioCaptureService>();
    services.speechEngine = std::make_shared<PocketSphinxEngine>();
    return services;
}
