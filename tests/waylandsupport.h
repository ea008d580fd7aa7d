#pragma once

// Helpers of the tests on the headless Wayland desktop that scripts/test.sh starts (sway, two
// outputs: HEADLESS-1 1280x720 at scale 1, HEADLESS-2 640x360 logical at scale 2, right of it).
// Everything goes through the desktop's own tools, as another program would: swaymsg for the
// window tree and the pointer, wtype for keys, grim for pixels.

#include "xcbsupport.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRect>

namespace WaylandSupport
{

inline const QRect kOne(0, 0, 1280, 720), kTwo(1280, 0, 640, 360);

using XcbSupport::run;

inline bool sway(const QString& command)
{
    return run("swaymsg", {command});
}

struct Window {
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
            found.push_back({QRect(r.value("x").toInt(), r.value("y").toInt(),
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

// Keys by xkb name. The first key of a call can be lost while wtype sets its keymap, so a
// harmless one goes first.
inline bool keys(const QStringList& names)
{
    QStringList arguments{"-k", "Shift_L"};
    for (const QString& name : names)
        arguments << "-k" << name;
    return run("wtype", arguments);
}

// A drag with the left button through points of the desktop's layout.
inline bool drag(const QList<QPoint>& points)
{
    const auto at = [](QPoint p) {
        return sway(QString("seat seat0 cursor set %1 %2").arg(p.x()).arg(p.y()));
    };
    bool ok = at(points.front()) && sway("seat seat0 cursor press button1");
    for (const QPoint& p : points.mid(1))
        ok = ok && at(p);
    return ok && sway("seat seat0 cursor release button1");
}

inline bool click(QPoint p, const QString& button)
{
    return sway(QString("seat seat0 cursor set %1 %2").arg(p.x()).arg(p.y())) &&
           sway("seat seat0 cursor press " + button) && sway("seat seat0 cursor release " + button);
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
