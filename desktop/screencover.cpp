#include "desktop/screencover.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>

namespace
{

bool onWayland()
{
    return QGuiApplication::platformName() == QLatin1String("wayland");
}

// Qt acknowledges a compositor's configure of an unchanged size without committing a new
// buffer, and sway applies the new state (and sends input there) only on that commit, or once
// its transaction times out. A repaint commits at once.
class RepaintOnConfigure : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowStateChange || event->type() == QEvent::ActivationChange)
            static_cast<QWidget*>(watched)->update();
        return false;
    }
};

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
    if (!onWayland())
        return;
    // Placed again when its screen changes; one filter is enough.
    const QString filterName = QStringLiteral("repaintOnConfigure");
    if (!window->findChild<QObject*>(filterName, Qt::FindDirectChildrenOnly)) {
        auto* filter = new RepaintOnConfigure(window);
        filter->setObjectName(filterName);
        window->installEventFilter(filter);
    }
    window->setWindowState(window->windowState() | Qt::WindowFullScreen);
}
