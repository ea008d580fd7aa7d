#pragma once

#include <QImage>
#include <QPointer>
#include <QRectF>
#include <QScreen>

// The outcome of a region selection: the screen, its display identifier, and the rectangle in
// points in that screen's own space (origin top-left). The rectangle is at least 4 x 4 and is not
// clipped to the screen.
struct ScreenSelection {
    QPointer<QScreen> screen;
    quint32 displayID = 0;
    QRectF rect;
    // The still of the screen the user selected on; the saved region is cut from it.
    QImage still;
};
