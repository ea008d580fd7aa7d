#pragma once

#include <QImage>
#include <QPointer>
#include <QRegion>
#include <QScreen>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A whole screen as it showed, at its native density (devicePixelRatio set).
struct ScreenStill {
    QPointer<QScreen> screen;
    quint32 displayID = 0;
    QImage image;
};

struct StillsResult {
    enum class Status {
        Taken,   // one still per screen that has a display identifier
        Refused, // the desktop or the user did not allow it; error may say where to allow it
        Failed,  // error says why
    };
    Status status = Status::Failed;
    std::vector<ScreenStill> stills;
    QString error;
};

// Reads the displays at their native density. The X11 backend reads the root window; the null
// one (offscreen, other platforms) knows no displays and reads nothing.
class ScreenCapturer
{
public:
    virtual ~ScreenCapturer() = default;

    // A 32-bit identifier of the monitor the screen shows; none when the platform has none.
    virtual std::optional<quint32> displayID(const QScreen* screen) const = 0;

    // Whether translucent windows blend with what is below them. Without it they show black,
    // so the pen shows a still of the screen instead.
    virtual bool compositing() const = 0;
    // Where nothing tells but looking (Wayland), compositing() is false until the pen has seen
    // what a translucent fullscreen window shows and said so; kept until the displays change.
    virtual bool compositingUnknown() const { return false; }
    virtual void setCompositing(bool) {}

    // A still of every screen that has a display identifier, the cursor left out. vacated is
    // where our own windows were just hidden (global coordinates): a compositor may still be
    // fading them out, so the stills wait, briefly, until the screen there has stopped changing.
    // done runs once, on the main thread, never before this call returns.
    virtual void grabStills(std::function<void(StillsResult)> done, const QRegion& vacated) = 0;
};

std::unique_ptr<ScreenCapturer> createScreenCapturer();
