#pragma once

#include <QImage>
#include <QRectF>
#include <QString>

#include <memory>
#include <optional>

class QScreen;

struct CaptureResult {
    QImage image;
    // Why the pixels could not be read, in words the user can act on; empty on success.
    QString error;
};

// Reads pixels of the displays at their native density. The X11 backend reads the root window;
// the null one (offscreen, other platforms) knows no displays and captures nothing.
class ScreenCapturer
{
public:
    virtual ~ScreenCapturer() = default;

    // A 32-bit identifier of the monitor the screen shows; none when the platform has none.
    virtual std::optional<quint32> displayID(const QScreen* screen) const = 0;

    // Whether translucent windows blend with what is below them. Without it they show black,
    // so the selection and the pen show a still of the screen instead.
    virtual bool compositing() const = 0;

    // The rectangle (points, in the screen's own space with its origin at the screen's top-left;
    // it may reach past the screen's edges) at the screen's device pixel ratio: the image is
    // max(1, trunc(width x ratio)) by max(1, trunc(height x ratio)) pixels with that ratio set.
    // Parts outside the display are transparent. The cursor is not drawn.
    virtual CaptureResult capture(const QScreen* screen, const QRectF& rect) = 0;
};

std::unique_ptr<ScreenCapturer> createScreenCapturer();
