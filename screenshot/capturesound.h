#pragma once

#include <memory>

// The short sound after a screenshot was saved. Failing to play is not an error.
class CaptureSound
{
public:
    virtual ~CaptureSound() = default;
    virtual void play() = 0;
};

// The freedesktop sound theme's "screen-capture" event through libcanberra.
std::unique_ptr<CaptureSound> createCaptureSound();
