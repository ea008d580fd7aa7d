#pragma once

#include "hotkeys/hotkeycodes.h"

#include <functional>
#include <memory>

// System-wide hot keys on bare function keys, whichever application is in front.
class HotKeyBackend
{
public:
    virtual ~HotKeyBackend() = default;

    // Grabs the bare function key with that virtual key code system-wide under the given id; an
    // earlier key of the same id is let go first. False when the key cannot be had (another
    // program or another id holds it, or the code is no function key); then nothing stays grabbed.
    virtual bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode) = 0;
    // No-op when the id is not registered.
    virtual void unregisterHotKey(EventHotKeyID id) = 0;

    // Raised once per press of a registered key, with its id. The backend raises it through a
    // queued call, never from inside the native event filter, so receivers may do anything.
    std::function<void(EventHotKeyID)> onPressed;
};

// The X11 backend when the application runs on xcb with a live connection, otherwise the null
// backend.
std::unique_ptr<HotKeyBackend> createHotKeyBackend();
