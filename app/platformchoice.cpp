#include "app/platformchoice.h"

#include <QtGlobal>

PlatformChoice choosePlatform(const QByteArray& qpaPlatform, const QByteArray& display,
                              const QByteArray& waylandDisplay)
{
    // Plugins that need no display server (offscreen, minimal, vnc) are the user's business.
    const bool needsDisplay =
        qpaPlatform.isEmpty() || qpaPlatform.startsWith("xcb") || qpaPlatform.startsWith("wayland");
    if (display.isEmpty() && waylandDisplay.isEmpty() && needsDisplay)
        return {true, {}};
    if (qpaPlatform.isEmpty() && !waylandDisplay.isEmpty())
        return {false, "wayland"};
    return {};
}

bool applyPlatformChoice()
{
    const PlatformChoice choice =
        choosePlatform(qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!choice.platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", choice.platform);
    return !choice.noDesktop;
}
