#pragma once

#include "desktop/alerts.h"
#include "hotkeys/hotkeybackend.h"
#include "screenshot/capturesound.h"
#include "screenshot/screencapturer.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

// Everything the program needs from the desktop, gathered so tests can replace any part.
struct Platform {
    std::unique_ptr<Alerts> alerts;
    std::unique_ptr<ScreenCapturer> capturer;
    std::unique_ptr<CaptureSound> sound;
    std::unique_ptr<HotKeyBackend> hotKeys;
    // Shows a folder in the file browser; false when the desktop has nothing to show it with.
    std::function<bool(const QString&)> openFolder;
    std::function<QDateTime()> clock;
};

// The real desktop: message boxes, the X11 capture backend where there is one, libcanberra, X11 hot
// keys, the user's file browser and the system clock.
Platform nativePlatform();
