#pragma once

#include "screenshot/screencapturer.h"

// For platforms without an X server (offscreen, tests): no displays, no pixels.
class NullScreenCapturer : public ScreenCapturer
{
public:
    std::optional<quint32> displayID(const QScreen* screen) const override;
    bool compositing() const override;
    void grabStills(std::function<void(StillsResult)> done, const QRegion& vacated) override;
};
