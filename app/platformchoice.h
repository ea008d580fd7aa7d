#pragma once

#include <QByteArray>

// Which Qt platform plugin the program asks for, decided from the environment before the
// application exists.
struct PlatformChoice {
    // Neither an X server nor a Wayland compositor to show windows on.
    bool noDesktop = false;
    // The value for QT_QPA_PLATFORM; empty leaves it as it is.
    QByteArray platform;
};

// A Wayland session runs on Qt's wayland plugin even where Qt would pick XWayland by itself
// (GNOME); a platform the user chose is kept.
PlatformChoice choosePlatform(const QByteArray& qpaPlatform, const QByteArray& display,
                              const QByteArray& waylandDisplay);

// Reads the environment and sets QT_QPA_PLATFORM; false when there is no desktop at all.
bool applyPlatformChoice();
