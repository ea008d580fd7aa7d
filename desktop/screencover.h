#pragma once

#include <QWidget>

class QScreen;

// Flags of a frameless window that covers one whole screen above every other window. On X11 it
// bypasses the window manager to stay above panels; Wayland has no such thing.
Qt::WindowFlags screenCoverFlags();

// Puts the window over the whole screen. On Wayland only the compositor places windows: the
// window asks for fullscreen on the output it is set to before it shows.
void coverScreen(QWidget* window, QScreen* screen);
