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

inline bool sway(const QString& command)
{
    return run("swaymsg", {command});
}

struct Window {
    qint64 id;
    QRect rect;
    bool fullscreen;
    bool focused;
};

// The mapped windows of a process, in the order sway lists them.
inline QList<Window> windowsOf(qint64 pid)
{
    QByteArray json;
    if (!run("swaymsg", {"-t", "get_tree", "-r"}, &json))
        return {};
    QList<Window> found;
    const std::function<void(const QJsonObject&)> walk = [&](const QJsonObject& node) {
        if (node.value("pid").toInteger() == pid && node.value("visible").toBool()) {
            const QJsonObject r = node.value("rect").toObject();
            found.push_back({node.value("id").toInteger(),
                             QRect(r.value("x").toInt(), r.value("y").toInt(),
                                   r.value("width").toInt(), r.value("height").toInt()),
                             node.value("fullscreen_mode").toInt() != 0,
                             node.value("focused").toBool()});
        }
        for (const char* children : {"nodes", "floating_nodes"})
            for (const QJsonValue& child : node.value(children).toArray())
                walk(child.toObject());
    };
    walk(QJsonDocument::fromJson(json).object());
    return found;
}

// The outputs covered by fullscreen windows of the process, left to right.
inline QList<QRect> covers(qint64 pid)
{
    QList<QRect> rects;
    for (const Window& w : windowsOf(pid))
        if (w.fullscreen)
            rects << w.rect;
    std::sort(rects.begin(), rects.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
    return rects;
}

// What the outputs show, as grim gives it: an area at the highest scale of the outputs it
// touches; the whole desktop by default.
inline QImage grim(const QRect& area = {})
{
    QStringList arguments;
    if (!area.isNull())
        arguments << "-g"
                  << QString("%1,%2 %3x%4")
                         .arg(area.x())
                         .arg(area.y())
                         .arg(area.width())
                         .arg(area.height());
    QByteArray png;
    if (!run("grim", arguments << "-", &png))
        return {};
    return QImage::fromData(png).convertToFormat(QImage::Format_RGB32);
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
    ~VirtualPointer()
    {
        if (m_display)
            wl_display_disconnect(m_display);
    }
    VirtualPointer(const VirtualPointer&) = delete;
    VirtualPointer& operator=(const VirtualPointer&) = delete;

    bool isValid() const { return m_pointer; }

    // To a point of the desktop's layout (1920x720 logical).
    bool moveTo(QPoint p) { return send(1, uint32_t(p.x()), uint32_t(p.y()), 1920u, 720u); }
    bool button(uint32_t button, bool pressed) { return send(2, button, uint32_t(pressed)); }

private:
    template <typename... Args> bool send(uint32_t opcode, Args... args)
    {
        if (!m_pointer)
            return false;
        wl_proxy_marshal_flags(m_pointer, opcode, nullptr, 1, 0, m_time, args...);
        m_time += 10;
        wl_proxy_marshal_flags(m_pointer, 4, nullptr, 1, 0); // frame
        return wl_display_roundtrip(m_display) >= 0;
    }

    static inline const wl_message pointerRequests[] = {
        {"motion", "uff", nullptr},   {"motion_absolute", "uuuuu", nullptr},
        {"button", "uuu", nullptr},   {"axis", "uuf", nullptr},
        {"frame", "", nullptr},       {"axis_source", "u", nullptr},
        {"axis_stop", "uu", nullptr}, {"axis_discrete", "uufi", nullptr},
        {"destroy", "", nullptr}};
    static inline const wl_interface pointerInterface{"zwlr_virtual_pointer_v1", 1, 9,
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

// A drag with the left button through points of the desktop's layout; the pointer rests after.
inline bool drag(const QList<QPoint>& points)
{
    bool ok = pointer().moveTo(points.front()) && pointer().button(BTN_LEFT, true);
    for (const QPoint& p : points.mid(1))
        ok = ok && pointer().moveTo(p);
    return ok && pointer().button(BTN_LEFT, false) && pointer().moveTo(kRest);
}

// The screenshot permission of the desktop's portal: "yes" or "no".
inline bool setScreenshotPermission(const QString& answer)
{
    return run("gdbus",
               {"call", "--session", "--dest", "org.freedesktop.impl.portal.PermissionStore",
                "--object-path", "/org/freedesktop/impl/portal/PermissionStore", "--method",
                "org.freedesktop.impl.portal.PermissionStore.SetPermission", "screenshot", "true",
                "screenshot", "", "['" + answer + "']"});
}

// The desktop's sockets by absolute path, so a program with its own XDG_RUNTIME_DIR reaches it.
inline QStringList desktopEnvironment()
{
    return {"WAYLAND_DISPLAY=" + QDir(qEnvironmentVariable("XDG_RUNTIME_DIR"))
                                     .filePath(qEnvironmentVariable("WAYLAND_DISPLAY"))};
}

} // namespace WaylandSupport
