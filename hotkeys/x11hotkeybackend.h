#pragma once

#include "hotkeys/hotkeybackend.h"

#include <memory>

struct xcb_connection_t;

// Hot keys as passive key grabs on the root windows of the X server. Presses are read by a
// native event filter on the application, so `connection` must be the application's own, and the
// backend must go before the application does.
class X11HotKeyBackend : public HotKeyBackend
{
public:
    explicit X11HotKeyBackend(xcb_connection_t* connection);
    ~X11HotKeyBackend() override;

    bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode) override;
    void unregisterHotKey(EventHotKeyID id) override;

private:
    class Private;
    std::unique_ptr<Private> m_private;
};
