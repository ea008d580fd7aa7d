#pragma once

// Helpers of the tests on the headless Wayland desktop that scripts/test.sh starts (sway, two
// outputs: HEADLESS-1 1280x720 at scale 1, HEADLESS-2 640x360 logical at scale 2, right of it).
// Everything goes through the desktop, as another program would: swaymsg for the window tree,
// a virtual pointer, wtype for keys, grim for pixels.

#include "xcbsupport.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRect>
#include <QtDBus>

#include <wayland-client.h>

#include <linux/input-event-codes.h>

namespace WaylandSupport
{

inline const QRect kOne(0, 0, 1280, 720), kTwo(1280, 0, 640, 360);
// The outputs draw the cursor into every picture of them: it rests in the far corner, which
// comparisons leave out.
inline const QPoint kRest(1919, 719);
inline const QRect kAll(0, 0, 1880, 720);

using XcbSupport::run;

// Where the mapped windows of a process are, left to right; only the fullscreen ones, which
// cover an output each, when asked.
inline QList<QRect> windowsOf(qint64 pid, bool fullscreenOnly = false)
{
    QByteArray json;
    run("swaymsg", {"-t", "get_tree", "-r"}, &json);
    QList<QRect> found;
    const std::function<void(const QJsonObject&)> walk = [&](const QJsonObject& node) {
        const QJsonObject r = node["rect"].toObject();
        if (node["pid"].toInteger() == pid && node["visible"].toBool() &&
            (node["fullscreen_mode"].toInt() != 0 || !fullscreenOnly))
            found << QRect(r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt());
        for (const char* children : {"nodes", "floating_nodes"})
            for (const QJsonValue& child : node[children].toArray())
                walk(child.toObject());
    };
    walk(QJsonDocument::fromJson(json).object());
    std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
    return found;
}

inline QList<QRect> covers(qint64 pid)
{
    return windowsOf(pid, true);
}

// Where two images differ inside `area` by more than `tolerance` in a channel, as a bounding box.
inline QRect differs(const QImage& a, const QImage& b, const QRect& area, int tolerance = 0)
{
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (qAbs(qRed(p) - qRed(q)) > tolerance || qAbs(qGreen(p) - qGreen(q)) > tolerance ||
                qAbs(qBlue(p) - qBlue(q)) > tolerance)
                box |= QRect(x, y, 1, 1);
        }
    return box;
}

// Keys by xkb name. The headless seat has a keyboard only while a wtype runs, and clients bind
// it only once told of it: a harmless key first, then time for them to do so.
inline bool keys(const QStringList& names)
{
    QStringList arguments{"-k", "Shift_L", "-s", "300"};
    for (const QString& name : names)
        arguments << "-k" << name;
    return run("wtype", arguments);
}

// The headless desktop has no input devices, so its seat offers no pointer until a client adds
// a virtual one (wlr-virtual-pointer-unstable-v1, described here by hand: its requests in order).
class VirtualPointer
{
public:
    VirtualPointer()
    {
        m_display = wl_display_connect(nullptr);
        if (!m_display)
            return;
        wl_registry* registry = wl_display_get_registry(m_display);
        static const wl_registry_listener listener{
            [](void* data, wl_registry* r, uint32_t name, const char* interface, uint32_t) {
                auto* self = static_cast<VirtualPointer*>(data);
                if (qstrcmp(interface, "wl_seat") == 0 && !self->m_seat)
                    self->m_seat =
                        static_cast<wl_seat*>(wl_registry_bind(r, name, &wl_seat_interface, 1));
                else if (qstrcmp(interface, managerInterface.name) == 0)
                    self->m_manager =
                        static_cast<wl_proxy*>(wl_registry_bind(r, name, &managerInterface, 1));
            },
            [](void*, wl_registry*, uint32_t) {}};
        wl_registry_add_listener(registry, &listener, this);
        wl_display_roundtrip(m_display);
        wl_registry_destroy(registry);
        if (m_manager && m_seat)
            m_pointer =
                wl_proxy_marshal_flags(m_manager, 0, &pointerInterface, 1, 0, m_seat, nullptr);
        wl_display_roundtrip(m_display);
    }

    // Checked before anything is sent.
    bool isValid() const { return m_pointer; }

    // To a point of the desktop's layout (1920x720 logical).
    bool moveTo(QPoint p) { return send(1, uint32_t(p.x()), uint32_t(p.y()), 1920u, 720u); }
    bool button(uint32_t button, bool pressed) { return send(2, button, uint32_t(pressed)); }

private:
    template <typename... Args> bool send(uint32_t opcode, Args... args)
    {
        wl_proxy_marshal_flags(m_pointer, opcode, nullptr, 1, 0, m_time, args...);
        m_time += 10;
        wl_proxy_marshal_flags(m_pointer, 4, nullptr, 1, 0); // frame
        return wl_display_roundtrip(m_display) >= 0;
    }

    // The first five requests, all that is sent.
    static inline const wl_message pointerRequests[] = {{"motion", "uff", nullptr},
                                                        {"motion_absolute", "uuuuu", nullptr},
                                                        {"button", "uuu", nullptr},
                                                        {"axis", "uuf", nullptr},
                                                        {"frame", "", nullptr}};
    static inline const wl_interface pointerInterface{"zwlr_virtual_pointer_v1", 1, 5,
                                                      pointerRequests,           0, nullptr};
    static inline const wl_interface* createTypes[] = {&wl_seat_interface, &pointerInterface};
    static inline const wl_message managerRequests[] = {
        {"create_virtual_pointer", "?on", createTypes}, {"destroy", "", nullptr}};
    static inline const wl_interface managerInterface{
        "zwlr_virtual_pointer_manager_v1", 1, 2, managerRequests, 0, nullptr};

    wl_display* m_display = nullptr;
    wl_seat* m_seat = nullptr;
    wl_proxy* m_manager = nullptr;
    wl_proxy* m_pointer = nullptr;
    uint32_t m_time = 1;
};

inline VirtualPointer& pointer()
{
    static VirtualPointer device;
    return device;
}

// What the outputs show, as grim gives it: an area at the highest scale of the outputs it
// touches; the whole desktop by default. This sway can go on showing a fullscreen window's older
// buffer after a configure until something else repaints the output, as the pointer passing
// over it does, which a user's mouse always does.
inline QImage grim(const QRect& area = {})
{
    pointer().moveTo(kOne.center());
    pointer().moveTo(kRest);
    QStringList arguments;
    if (!area.isNull())
        arguments << "-g"
                  << QString::asprintf("%d,%d %dx%d", area.x(), area.y(), area.width(),
                                       area.height());
    QByteArray png;
    if (!run("grim", arguments << "-", &png))
        return {};
    return QImage::fromData(png).convertToFormat(QImage::Format_RGB32);
}

// A drag with the left button through points of the desktop's layout; the pointer rests after.
inline bool drag(const QList<QPoint>& points)
{
    bool ok = pointer().moveTo(points.front()) && pointer().button(BTN_LEFT, true);
    for (const QPoint& p : points.mid(1))
        ok = ok && pointer().moveTo(p);
    return ok && pointer().button(BTN_LEFT, false) && pointer().moveTo(kRest);
}

// The desktop's accessibility bus, where a screen reader reads what programs show.
inline QString accessibilityBus()
{
    const QDBusReply<QString> address =
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
            "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
    return address.isValid() ? address.value() : QString();
}

inline void accessibleNames(const QDBusConnection& bus, const QString& service, const QString& path,
                            QStringList& names)
{
    names << QDBusInterface(service, path, "org.a11y.atspi.Accessible", bus)
                 .property("Name")
                 .toString();
    const QDBusMessage children = bus.call(
        QDBusMessage::createMethodCall(service, path, "org.a11y.atspi.Accessible", "GetChildren"));
    if (children.type() != QDBusMessage::ReplyMessage || children.arguments().isEmpty())
        return;
    const auto list = children.arguments()[0].value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString childService;
        QDBusObjectPath childPath;
        list.beginStructure();
        list >> childService >> childPath;
        list.endStructure();
        accessibleNames(bus, childService, childPath.path(), names);
    }
    list.endArray();
}

// The accessible names of everything the process shows; Qt tells the accessibility bus only
// when a screen reader is on, unless QT_LINUX_ACCESSIBILITY_ALWAYS_ON is set.
inline QStringList accessibleNames(qint64 pid)
{
    const QDBusConnection bus = QDBusConnection::connectToBus(accessibilityBus(), "a11y");
    QStringList names;
    for (const QString& service : bus.interface()->registeredServiceNames().value()) {
        if (bus.interface()->servicePid(service).value() == uint(pid))
            accessibleNames(bus, service, "/org/a11y/atspi/accessible/root", names);
    }
    return names;
}

// The desktop's sockets by absolute path, so a program with its own XDG_RUNTIME_DIR reaches it.
inline QStringList desktopEnvironment()
{
    return {"WAYLAND_DISPLAY=" + QDir(qEnvironmentVariable("XDG_RUNTIME_DIR"))
                                     .filePath(qEnvironmentVariable("WAYLAND_DISPLAY"))};
}

} // namespace WaylandSupport
