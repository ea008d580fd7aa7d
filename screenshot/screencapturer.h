#pragma once

#include <QImage>
#include <QPointer>
#include <QRectF>
#include <QScreen>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct CaptureResult {
    QImage image;
    // Why the pixels could not be read, in words the user can act on; empty on success.
    QString error;
};

// A whole screen as it showed, at its native density (devicePixelRatio set).
struct ScreenStill {
    QPointer<QScreen> screen;
    quint32 displayID = 0;
    QImage image;
};

struct StillsResult {
    enum class Status {
        Taken,   // one still per screen that has a display identifier
        Refused, // the desktop or the user did not allow reading the screen
        Failed,  // error says why
    };
    Status status = Status::Failed;
    std::vector<ScreenStill> stills;
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

    // A still of every screen that has a display identifier, as it shows now. done runs once,
    // on the main thread, never before this call returns. This default reads each screen through
    // capture().
    virtual void grabStills(std::function<void(StillsResult)> done);
};

std::unique_ptr<ScreenCapturer> createScreenCapturer();
