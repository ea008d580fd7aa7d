#include "app/platform.h"

#include <QDesktopServices>
#include <QUrl>

Platform nativePlatform()
{
    Platform platform;
    platform.alerts = std::make_unique<MessageBoxAlerts>();
    platform.capturer = createScreenCapturer();
    platform.sound = createCaptureSound();
    platform.hotKeys = createHotKeyBackend();
    platform.openFolder = [](const QString& folder) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
    platform.clock = [] { return QDateTime::currentDateTime(); };
    return platform;
}
