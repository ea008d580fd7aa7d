#pragma once

#include "screenshot/screencapturer.h"

#include <memory>

// Each backend exists only while the application runs on its platform; null otherwise.
std::unique_ptr<ScreenCapturer> createX11ScreenCapturer();
std::unique_ptr<ScreenCapturer> createWaylandScreenCapturer();
