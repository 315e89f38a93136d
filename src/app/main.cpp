#include "CaptioningServices.h"
#include "DesktopPermissionService.h"
#include "PocketSphinxEngine.h"
#include "PulseAudioCaptureService.h"
#include "SonorelApp.h"

int main(int argc, char **argv)
{
    return SonorelApp::run(argc, argv, [] {
        return CaptioningServices { std::make_shared<DesktopPermissionService>(),
            std::make_shared<PulseAudioCaptureService>(), std::make_shared<PocketSphinxEngine>() };
    });
}
