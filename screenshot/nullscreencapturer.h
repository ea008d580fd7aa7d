#pragma once

#include "screenshot/screencapturer.h"

// For platforms without an X server (offscreen, tests): no displays, no pixels.
class NullScreenCapturer : public ScreenCapturer
{
public:
    std::optional<quint32> displayID(const QScreen* screen) const override;
    bool compositing() const override;
    CaptureResult capture(const QScreen* screen, const QRectF& rect) override;
};
