#pragma once

#include "hotkeys/hotkeybackend.h"

// For platforms without global key grabs, and offscreen runs.
class NullHotKeyBackend : public HotKeyBackend
{
public:
    // Always refused: nothing is grabbed.
    bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode) override;
    void unregisterHotKey(EventHotKeyID id) override;
    // So that no label promises keys that nothing delivers.
    bool givesKeys() const override { return false; }
};
