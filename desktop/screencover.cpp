#include "desktop/screencover.h"

#include <QGuiApplication>
#include <QScreen>

namespace
{

bool onWayland()
{
    return QGuiApplication::platformName() == QLatin1String("wayland");
}

} // namespace

Qt::WindowFlags screenCoverFlags()
{
    const Qt::WindowFlags flags =
        Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool | Qt::NoDropShadowWindowHint;
    return onWayland() ? flags : flags | Qt::X11BypassWindowManagerHint;
}

void coverScreen(QWidget* window, QScreen* screen)
{
    window->setScreen(screen);
    window->setGeometry(screen->geometry());
    if (onWayland())
        window->setWindowState(window->windowState() | Qt::WindowFullScreen);
}
