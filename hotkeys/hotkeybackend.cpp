#include "hotkeys/hotkeybackend.h"

#include "hotkeys/nullhotkeybackend.h"
#include "hotkeys/portalhotkeybackend.h"
#include "hotkeys/x11hotkeybackend.h"

#include <QGuiApplication>

std::unique_ptr<HotKeyBackend> createHotKeyBackend()
{
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        // The offscreen plugin also answers for X11, but without a connection.
        if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
            if (xcb_connection_t* connection = x11->connection())
                return std::make_unique<X11HotKeyBackend>(connection);
        }
    }
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        return std::make_unique<PortalHotKeyBackend>(QDBusConnection::sessionBus());
    return std::make_unique<NullHotKeyBackend>();
}
