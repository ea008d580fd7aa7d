#pragma once

#include "hotkeys/hotkeybackend.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QMetaType>
#include <QVariantMap>

#include <memory>

// One entry of the shortcut lists of the GlobalShortcuts portal, a(sa{sv}) on the bus.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);
// Makes PortalShortcut and lists of it known to QtDBus; before either crosses the bus.
void registerPortalShortcutTypes();

// Hot keys handed out by the desktop through the GlobalShortcuts portal, where programs may not
// grab keys (Wayland). Registrations made in one turn of the event loop go to the desktop
// together in the next, as one new session; the desktop's answers arrive later still. A session
// asks the desktop to bind only what it does not hold yet, or keys newly chosen; one that the
// desktop ends, or a portal that comes (back), starts a new one.
class PortalHotKeyBackend : public HotKeyBackend
{
public:
    explicit PortalHotKeyBackend(const QDBusConnection& connection);
    ~PortalHotKeyBackend() override;

    // False at once only without a bus, or for a key the portal cannot be asked for.
    bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode) override;
    void unregisterHotKey(EventHotKeyID id) override;
    std::optional<QString> reportedTrigger(EventHotKeyID id) const override;
    bool givesKeys() const override;

private:
    class Private;
    std::unique_ptr<Private> m_private;
};
