#pragma once

#include "hotkeys/hotkeybackend.h"

// For platforms without global key grabs, and offscreen runs.
class NullHotKeyBackend : public HotKeyBackend
{
public:
    // Success, so the program starts and reports its keys as usual where nothing can be grabbed.
    bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode) override;
    void unregisterHotKey(EventHotKeyID id) override;
};
