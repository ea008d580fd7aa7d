#include "hotkeys/nullhotkeybackend.h"

bool NullHotKeyBackend::registerHotKey(EventHotKeyID, quint32)
{
    return true;
}

void NullHotKeyBackend::unregisterHotKey(EventHotKeyID) {}
