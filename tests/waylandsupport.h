#pragma once

// Helpers of the tests on the headless Wayland desktops that scripts/test.sh starts (sway, KWin,
// GNOME Shell; two outputs side by side, the first at scale 1, the second at scale 2).
// Everything goes through the desktop, as another program would: its driver on the session bus
// (scripts/desktopdriver) for the window tree, input and pixels.

#include "xcbsupport.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QtDBus>

#include <linux/input-event-codes.h>

namespace WaylandSupport
{

using XcbSupport::run;

// The test desktop's driver (scripts/desktopdriver/desktopdriver.h), one call at a time.
inline QDBusMessage drive(const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.vellori.TestDesktop", "/",
                                                       "org.vellori.TestDesktop", method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 20000);
}

inline bool drove(const QString& method, const QVariantList& arguments = {})
{
    const QDBusMessage reply = drive(method, arguments);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

// The desktop's outputs in its logical layout, as its driver tells; the second one's size
// differs by desktop (a compositor may refuse scale 2 on 1280x720).
struct Layout {
    QRect one, two;
    // Desktops that draw the cursor into every picture of them show it in the far corner, where
    // it rests; comparisons of the whole desktop leave that out.
    QPoint rest;
    QRect all;
    // The whole desktop's picture, at scale 2.
    QSize picture;
};

inline const Layout& layout()
{
    static const Layout layout = [] {
        qDBusRegisterMetaType<QList<QRect>>();
        const auto outputs = qdbus_cast<QList<QRect>>(drive("Outputs").arguments().value(0));
        Layout l{outputs.value(0), outputs.value(1), {}, {}, {}};
        const QRect box = l.one | l.two;
        l.rest = l.two.bottomRight();
        l.all = box.adjusted(0, 0, -40, 0);
        l.picture = box.size() * 2;
        return l;
    }();
    return layout;
}

// Where the mapped windows of a process are, left to right; only the fullscreen ones, which
// cover an output each, when asked.
inline QList<QRect> windowsOf(qint64 pid, bool fullscreenOnly = false)
{
    qDBusRegisterMetaType<QList<QRect>>();
    return qdbus_cast<QList<QRect>>(drive("Windows", {pid, fullscreenOnly}).arguments().value(0));
}

inline QList<QRect> covers(qint64 pid)
{
    return windowsOf(pid, true);
}

// Closes the process's windows as their close buttons would.
inline bool closeWindows(qint64 pid)
{
    return drove("Close", {pid});
}

// Puts the process's newest window over the whole output of that name.
inline bool place(qint64 pid, const QString& output)
{
    return drove("Place", {pid, output});
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

// What the outputs show: an area at the highest scale of the outputs it touches; the whole
// desktop by default.
inline QImage picture(const QRect& area = {})
{
    return QImage::fromData(drive("Picture", {area}).arguments().value(0).toByteArray())
        .convertToFormat(QImage::Format_RGB32);
}

inline bool moveTo(QPoint p)
{
    return drove("MoveTo", {p});
}

inline bool button(uint button, bool pressed)
{
    return drove("Button", {button, pressed});
}

// Key presses by xkb name.
inline bool keys(const QStringList& names)
{
    return drove("Keys", {names});
}

// A modifier ("shift", "ctrl") held down for `ms` milliseconds from now.
inline bool hold(const QString& modifier, int ms)
{
    return drove("Hold", {modifier, ms});
}

inline bool click(uint which, QPoint at)
{
    return moveTo(at) && button(which, true) && button(which, false) && moveTo(layout().rest);
}

// A drag with the left button through points of the desktop's layout; the pointer rests after.
inline bool drag(const QList<QPoint>& points)
{
    bool ok = moveTo(points.front()) && button(BTN_LEFT, true);
    for (const QPoint& p : points.mid(1))
        ok = ok && moveTo(p);
    return ok && button(BTN_LEFT, false) && moveTo(layout().rest);
}

inline QByteArray clipboard(const QString& type)
{
    return drive("Clipboard", {type}).arguments().value(0).toByteArray();
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
