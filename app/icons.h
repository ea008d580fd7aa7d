#pragma once

#include <QIcon>

// Drawn in code so they stay sharp at every tray and window size.
namespace Icons
{
// Pen over a scribble: the tray's idle look and the application icon.
QIcon pen();
// Check mark in a circle: the tray while a status message shows.
QIcon checkMark();
} // namespace Icons
