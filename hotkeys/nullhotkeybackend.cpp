#include "hotkeys/nullhotkeybackend.h"

bool NullHotKeyBackend::registerHotKey(EventHotKeyID, quint32)
{
    return false;
}

void NullHotKeyBackend::unregisterHotKey(EventHotKeyID) {}
