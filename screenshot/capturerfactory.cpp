#include "screenshot/capturerfactory.h"

#include "screenshot/nullscreencapturer.h"

std::unique_ptr<ScreenCapturer> createScreenCapturer()
{
    if (auto x11 = createX11ScreenCapturer())
        return x11;
    if (auto wayland = createWaylandScreenCapturer())
        return wayland;
    return std::make_unique<NullScreenCapturer>();
}
