#pragma once

#include <QImage>
#include <QRect>
#include <QRgb>

#include <optional>

// A look at whether the compositor shows what lies below a translucent fullscreen window, where
// nothing tells (Wayland): the pen opens over its still with a few fully transparent pixels (the
// hole) where the still is not black, beside a mark of a colour the still has not there; a
// picture of the screen taken then shows the desktop in the hole (live), or black.
struct LiveProbe {
    QRect hole;  // in the still's pixels
    QRect mark;  // right of the hole
    QRgb colour; // the mark's
};

// A place low on the screen, clear of the toolbar, where the still is not black; none when the
// still offers none.
std::optional<LiveProbe> findLiveProbe(const QImage& still);

// The still with the hole cut and the mark painted.
QImage withLiveProbe(const QImage& still, const LiveProbe& probe);

enum class LiveAnswer {
    Live,
    Still,
    Unseen, // the mark is not in the picture: the window was not yet on screen, or drawn over
};
LiveAnswer liveAnswer(const QImage& seen, const LiveProbe& probe);
