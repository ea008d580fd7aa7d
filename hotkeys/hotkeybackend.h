#pragma once

#include "hotkeys/hotkeycodes.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

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

    // Where the desktop hands out the keys itself, it answers after registerHotKey has returned
    // and may assign another key than the one asked for. The key it reports for the id, in its own
    // words, or an empty text when it assigned none; no value where keys are grabbed as asked, or
    // before the desktop has answered.
    virtual std::optional<QString> reportedTrigger(EventHotKeyID) const { return std::nullopt; }
    // False while the desktop hands out no global keys to programs at all.
    virtual bool givesKeys() const { return true; }

    // Raised once per press of a registered key, with its id. The backend raises it through a
    // queued call, never from inside the native event filter, so receivers may do anything.
    std::function<void(EventHotKeyID)> onPressed;
    // Ids that registerHotKey accepted and the desktop, answering later, gave no key, as it does
    // for a key another program holds; once per answer. A desktop that gives no keys at all
    // raises onReportChanged alone.
    std::function<void(const QList<EventHotKeyID>&)> onRefused;
    // reportedTrigger or givesKeys changed after registerHotKey had returned.
    std::function<void()> onReportChanged;
};

// The X11 backend when the application runs on xcb with a live connection, the GlobalShortcuts
// portal on Wayland, otherwise the null backend.
std::unique_ptr<HotKeyBackend> createHotKeyBackend();
