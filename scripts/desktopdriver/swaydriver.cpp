// sway, headless: swaymsg for the window tree, a virtual pointer of our own, wtype for keys,
// grim for pixels, wl-paste for the clipboard.

#include "desktopdriver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <wayland-client.h>

#include <functional>

namespace
{

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

    bool isValid() const { return m_pointer; }

    // To a point of a layout of `size` logical pixels.
    bool moveTo(QPoint p, QSize size)
    {
        return send(1, uint32_t(p.x()), uint32_t(p.y()), uint32_t(size.width()),
                    uint32_t(size.height()));
    }
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

QJsonObject tree()
{
    QByteArray json;
    runTool("swaymsg", {"-t", "get_tree", "-r"}, &json);
    return QJsonDocument::fromJson(json).object();
}

void walk(const QJsonObject& node, const std::function<void(const QJsonObject&)>& visit)
{
    visit(node);
    for (const char* children : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node[children].toArray())
            walk(child.toObject(), visit);
}

QRect rectOf(const QJsonObject& node)
{
    const QJsonObject r = node["rect"].toObject();
    return {r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt()};
}

class SwayDriver : public DesktopDriver
{
public:
    QList<QRect> outputs() override
    {
        QList<QRect> found;
        for (const QJsonValue& output : outputList())
            found << rectOf(output.toObject());
        std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return found;
    }

    QList<QRect> windows(qint64 pid, bool fullscreenOnly) override
    {
        QList<QRect> found;
        walk(tree(), [&](const QJsonObject& node) {
            if (node["pid"].toInteger() == pid && node["visible"].toBool() &&
                (node["fullscreen_mode"].toInt() != 0 || !fullscreenOnly))
                found << rectOf(node);
        });
        std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return found;
    }

    bool close(qint64 pid) override
    {
        return runTool("swaymsg", {QString("[pid=%1] kill").arg(pid)});
    }

    bool place(qint64 pid, const QString& output) override
    {
        qint64 newest = -1;
        walk(tree(), [&](const QJsonObject& node) {
            if (node["pid"].toInteger() == pid)
                newest = std::max(newest, node["id"].toInteger());
        });
        return newest >= 0 &&
               runTool(
                   "swaymsg",
                   {QString("[con_id=%1] move container to output %2").arg(newest).arg(output)});
    }

    // This sway can go on showing a fullscreen window's older buffer after a configure until
    // something else repaints the output, as the pointer passing over it does, which a user's
    // mouse always does. Its outputs have no cursor plane either, so the cursor is in every
    // picture: it rests in the far corner of the layout.
    QByteArray picture(const QRect& area) override
    {
        const QRect layout = this->layout();
        for (const QJsonValue& output : outputList())
            moveTo(rectOf(output.toObject()).center());
        moveTo(layout.bottomRight());
        QStringList arguments;
        if (!area.isEmpty())
            arguments << "-g"
                      << QString::asprintf("%d,%d %dx%d", area.x(), area.y(), area.width(),
                                           area.height());
        QByteArray image;
        return runTool("grim",
                       arguments << "-t"
                                 << "ppm"
                                 << "-",
                       &image)
                   ? image
                   : QByteArray();
    }

    bool moveTo(QPoint point) override { return m_pointer.moveTo(point, layout().size()); }
    bool button(uint button, bool pressed) override { return m_pointer.button(button, pressed); }

    // The headless seat has a keyboard only while a wtype runs, and clients bind it only once
    // told of it: a harmless key first, then time for them to do so.
    bool keys(const QStringList& names) override
    {
        QStringList arguments{"-k", "Shift_L", "-s", "300"};
        for (const QString& name : names)
            arguments << "-k" << name;
        return runTool("wtype", arguments);
    }

    // A wtype of its own keeps the seat's keyboard, and the modifier, while it sleeps.
    bool hold(const QString& modifier, int ms) override
    {
        m_holder.kill();
        m_holder.waitForFinished();
        m_holder.start("wtype", {"-k", "Shift_L", "-s", "300", "-M", modifier, "-s",
                                 QString::number(ms), "-m", modifier});
        if (!m_holder.waitForStarted())
            return false;
        QThread::msleep(800);
        return m_holder.state() == QProcess::Running;
    }

    QByteArray clipboard(const QString& type) override
    {
        QByteArray content;
        return runTool("wl-paste", {"-t", type}, &content) ? content : QByteArray();
    }

private:
    static QJsonArray outputList()
    {
        QByteArray json;
        runTool("swaymsg", {"-t", "get_outputs", "-r"}, &json);
        return QJsonDocument::fromJson(json).array();
    }

    QRect layout()
    {
        if (m_layout.isEmpty()) {
            for (const QJsonValue& output : outputList())
                m_layout |= rectOf(output.toObject());
        }
        return m_layout;
    }

    VirtualPointer m_pointer;
    QProcess m_holder;
    QRect m_layout;
};

} // namespace

std::unique_ptr<DesktopDriver> createSwayDriver()
{
    return std::make_unique<SwayDriver>();
}
