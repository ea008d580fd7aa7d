#pragma once

#include "screenshot/screencapturer.h"

#include <QString>

#include <functional>

// One way of reading every screen of a desktop. A capturer asks the ones its desktop may offer
// in turn, best first, and takes the first that is there.
class StillBackend
{
public:
    virtual ~StillBackend() = default;

    // Its name in the debug line that tells which one read the screens.
    virtual QString name() const = 0;
    // Whether the desktop offers it now; asks nothing that takes time.
    virtual bool available() const = 0;
    // As ScreenCapturer::grabStills, once the desktop has taken our hidden windows off.
    virtual void grab(std::function<void(StillsResult)> done) = 0;
};
