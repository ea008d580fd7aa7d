// GNOME Shell, headless in unsafe mode: the window tree and placing through Shell.Eval, pictures
// through Shell.Screenshot, the clipboard through the shell's own, input through a Mutter
// remote-desktop session with a screen-cast stream per monitor (absolute motion is relative to
// one). Mutter ends that session with the bus connection that made it, so it lives as long as
// the driver.
//
// The layout the tests see is logical: each monitor at its origin in the stage, its size in
// device pixels over its scale. In mutter's physical layout mode the stage counts device pixels.

#include "desktopdriver.h"

#include <QBuffer>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace
{

const QString kShell = QStringLiteral("org.gnome.Shell");
const QString kRemoteDesktop = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString kScreenCast = QStringLiteral("org.gnome.Mutter.ScreenCast");

QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 15000);
}

// A JavaScript expression evaluated in the shell; the value as JSON, or null when refused.
QJsonValue eval(const QString& script)
{
    const QDBusMessage reply = call(kShell, "/org/gnome/Shell", kShell, "Eval", {script});
    const QVariantList out = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || out.size() != 2 || !out[0].toBool())
        return QJsonValue::Null;
    return QJsonDocument::fromJson("[" + out[1].toString().toUtf8() + "]").array().at(0);
}

struct Monitor {
    QString connector;
    int index = -1;
    QRect stage;   // in the stage's coordinates
    QRect logical; // in the tests' layout
    int scale = 1;
    QString stream; // its screen-cast stream's object path
};

// Skips one value of any type in a D-Bus argument.
void skip(const QDBusArgument& argument)
{
    QDBusVariant ignored;
    switch (argument.currentType()) {
    case QDBusArgument::ArrayType:
        argument.beginArray();
        while (!argument.atEnd())
            skip(argument);
        argument.endArray();
        break;
    case QDBusArgument::StructureType:
        argument.beginStructure();
        while (!argument.atEnd())
            skip(argument);
        argument.endStructure();
        break;
    case QDBusArgument::MapType:
        argument.beginMap();
        while (!argument.atEnd()) {
            argument.beginMapEntry();
            skip(argument);
            skip(argument);
            argument.endMapEntry();
        }
        argument.endMap();
        break;
    default:
        argument.asVariant();
    }
}

// DisplayConfig.GetCurrentState: (serial, monitors a((ssss)a(siiddada{sv})a{sv}), logical
// monitors a(iiduba(ssss)a{sv}), properties a{sv}).
QList<Monitor> currentMonitors()
{
    const QDBusMessage state =
        call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
             "org.gnome.Mutter.DisplayConfig", "GetCurrentState");
    if (state.arguments().size() < 4)
        return {};
    QMap<QString, QSize> modes; // the current mode of each connector
    const auto monitors = state.arguments()[1].value<QDBusArgument>();
    monitors.beginArray();
    while (!monitors.atEnd()) {
        monitors.beginStructure();
        monitors.beginStructure();
        QString connector, vendor, product, serial;
        monitors >> connector >> vendor >> product >> serial;
        monitors.endStructure();
        monitors.beginArray();
        while (!monitors.atEnd()) {
            monitors.beginStructure();
            QString id;
            int width = 0, height = 0;
            double rate = 0, preferredScale = 0;
            monitors >> id >> width >> height >> rate >> preferredScale;
            skip(monitors); // supported scales
            QVariantMap properties;
            monitors >> properties;
            monitors.endStructure();
            if (properties.value("is-current").toBool())
                modes[connector] = QSize(width, height);
        }
        monitors.endArray();
        skip(monitors);
        monitors.endStructure();
    }
    monitors.endArray();
    const QVariantMap properties = qdbus_cast<QVariantMap>(state.arguments()[3]);
    const bool physical = properties.value("layout-mode").toUInt() == 2;

    QList<Monitor> found;
    const auto logical = state.arguments()[2].value<QDBusArgument>();
    logical.beginArray();
    while (!logical.atEnd()) {
        logical.beginStructure();
        int x = 0, y = 0;
        double scale = 1;
        uint transform = 0;
        bool primary = false;
        logical >> x >> y >> scale >> transform >> primary;
        logical.beginArray();
        while (!logical.atEnd()) {
            logical.beginStructure();
            QString connector, vendor, product, serial;
            logical >> connector >> vendor >> product >> serial;
            logical.endStructure();
            Monitor m;
            m.connector = connector;
            m.scale = qRound(scale);
            const QSize mode = transform % 2 ? modes[connector].transposed() : modes[connector];
            m.logical = QRect(x, y, mode.width() / m.scale, mode.height() / m.scale);
            m.stage = physical ? QRect(QPoint(x, y), mode) : m.logical;
            m.index = eval(QString("global.backend.get_monitor_manager()"
                                   ".get_monitor_for_connector('%1')")
                               .arg(connector))
                          .toInt(-1);
            found << m;
        }
        logical.endArray();
        skip(logical);
        logical.endStructure();
    }
    logical.endArray();
    std::sort(found.begin(), found.end(),
              [](const Monitor& a, const Monitor& b) { return a.index < b.index; });
    return found;
}

// The mapped windows of a process, from the shell's own list; one that has no size yet is not
// mapped.
QString windowsScript(qint64 pid)
{
    return QString("global.display.list_all_windows().filter(w => w.get_pid() === %1 && "
                   "!w.minimized && w.showing_on_its_workspace() && w.get_frame_rect().width > 0)")
        .arg(pid);
}

class GnomeDriver : public DesktopDriver
{
public:
    GnomeDriver() : m_monitors(currentMonitors()) { startInput(); }

    ~GnomeDriver() override
    {
        if (!m_session.isEmpty())
            session("Stop");
    }

    QList<QRect> outputs() override
    {
        QList<QRect> found;
        for (const Monitor& m : m_monitors)
            found << m.logical;
        std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return found;
    }

    QList<QRect> windows(qint64 pid, bool fullscreenOnly) override
    {
        const QJsonArray list =
            eval(windowsScript(pid) + QString(".filter(w => %1 || w.is_fullscreen())"
                                              ".map(w => { const r = w.get_frame_rect();"
                                              " return [r.x, r.y, r.width, r.height]; })")
                                          .arg(fullscreenOnly ? "false" : "true"))
                .toArray();
        QList<QRect> found;
        for (const QJsonValue& r : list)
            found << toLogical(QRect(r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt()));
        std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return found;
    }

    bool close(qint64 pid) override
    {
        return eval(windowsScript(pid) +
                    ".forEach(w => w.delete(global.get_current_time())) || true")
            .toBool();
    }

    bool place(qint64 pid, const QString& output) override
    {
        const auto monitor = std::find_if(m_monitors.begin(), m_monitors.end(),
                                          [&](const Monitor& m) { return m.connector == output; });
        if (monitor == m_monitors.end())
            return false;
        // Mutter at times holds a window fullscreen at its own size: one not filling the monitor
        // is asked anew.
        return eval(QString("(() => { const w = %1.sort((a, b) => b.get_stable_sequence() - "
                            "a.get_stable_sequence())[0]; if (!w) return false; "
                            "const r = w.get_frame_rect(), m = "
                            "global.display.get_monitor_geometry(%2); if (r.x !== m.x || "
                            "r.y !== m.y || r.width !== m.width || r.height !== m.height) { "
                            "w.unmake_fullscreen(); w.move_to_monitor(%2); w.make_fullscreen(); } "
                            "return true; })()")
                        .arg(windowsScript(pid))
                        .arg(monitor->index))
            .toBool();
    }

    // Each monitor's part at its own density, brought to the highest scale of those touched.
    QByteArray picture(const QRect& wanted) override
    {
        QRect area = wanted;
        if (area.isEmpty())
            for (const Monitor& m : m_monitors)
                area |= m.logical;
        int scale = 1;
        for (const Monitor& m : m_monitors)
            if (m.logical.intersects(area))
                scale = std::max(scale, m.scale);
        QImage whole(area.size() * scale, QImage::Format_RGB32);
        whole.fill(Qt::black);
        QPainter painter(&whole);
        for (const Monitor& m : m_monitors) {
            const QRect part = m.logical & area;
            if (part.isEmpty())
                continue;
            const QImage shot = screenshotArea(toStage(part, m));
            if (shot.isNull())
                return {};
            painter.drawImage(QRect((part.topLeft() - area.topLeft()) * scale, part.size() * scale),
                              shot);
        }
        painter.end();
        QByteArray ppm;
        QBuffer buffer(&ppm);
        return buffer.open(QIODevice::WriteOnly) && whole.save(&buffer, "PPM") ? ppm : QByteArray();
    }

    bool moveTo(QPoint point) override
    {
        for (const Monitor& m : m_monitors) {
            if (m.logical.contains(point)) {
                const QPointF device = QPointF(point - m.logical.topLeft()) * m.scale;
                return session("NotifyPointerMotionAbsolute", {m.stream, device.x(), device.y()});
            }
        }
        return false;
    }

    bool button(uint button, bool pressed) override
    {
        return session("NotifyPointerButton", {int(button), pressed});
    }

    // Pressed now, released by a timer of the driver's own loop.
    bool hold(const QString& modifier, int ms) override
    {
        const KeySym keysym = modifier == "ctrl" ? XK_Control_L : XK_Shift_L;
        if (!session("NotifyKeyboardKeysym", {uint(keysym), true}))
            return false;
        QTimer::singleShot(ms, [this, keysym] {
            session("NotifyKeyboardKeysym", {uint(keysym), false});
        });
        return true;
    }

    bool keys(const QStringList& names) override
    {
        for (const QString& name : names) {
            const KeySym keysym = XStringToKeysym(name.toLatin1().constData());
            if (keysym == NoSymbol || !session("NotifyKeyboardKeysym", {uint(keysym), true}) ||
                !session("NotifyKeyboardKeysym", {uint(keysym), false}))
                return false;
        }
        return true;
    }

    // The shell hands its clipboard's content to a callback: kept, then fetched.
    QByteArray clipboard(const QString& type) override
    {
        const QString slot = QString("global.__vellori_clipboard");
        eval(QString("%1 = undefined; imports.gi.St.Clipboard.get_default().get_content("
                     "imports.gi.St.ClipboardType.CLIPBOARD, '%2', (c, bytes) => { %1 = bytes && "
                     "bytes.get_size() ? imports.gi.GLib.base64_encode(bytes.get_data()) : ''; }); "
                     "true")
                 .arg(slot, type));
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000) {
            const QJsonValue content = eval(QString("%1 === undefined ? null : %1").arg(slot));
            if (content.isString())
                return QByteArray::fromBase64(content.toString().toLatin1());
            QThread::msleep(20);
        }
        return {};
    }

private:
    void startInput()
    {
        const QDBusReply<QDBusObjectPath> created = call(
            kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession");
        if (!created.isValid())
            return;
        m_session = created.value().path();
        const QDBusMessage id = call(kRemoteDesktop, m_session, "org.freedesktop.DBus.Properties",
                                     "Get", {kRemoteDesktop + ".Session", "SessionId"});
        const QDBusReply<QDBusObjectPath> cast =
            call(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                 {QVariantMap{{"remote-desktop-session-id",
                               qdbus_cast<QDBusVariant>(id.arguments().value(0)).variant()}}});
        if (!cast.isValid())
            return;
        for (Monitor& m : m_monitors) {
            const QDBusReply<QDBusObjectPath> stream =
                call(kScreenCast, cast.value().path(), kScreenCast + ".Session", "RecordMonitor",
                     {m.connector, QVariantMap{{"cursor-mode", 0u}}});
            if (!stream.isValid())
                return;
            m.stream = stream.value().path();
        }
        // The seat gains its keyboard with the first key, which is lost: a harmless one.
        if (session("Start"))
            keys({"Shift_L"});
    }

    bool session(const QString& method, const QVariantList& arguments = {})
    {
        return call(kRemoteDesktop, m_session, kRemoteDesktop + ".Session", method, arguments)
                   .type() == QDBusMessage::ReplyMessage;
    }

    // A rectangle of the stage to the tests' layout, by the monitor it starts on.
    QRect toLogical(const QRect& stage) const
    {
        for (const Monitor& m : m_monitors) {
            if (m.stage.contains(stage.topLeft())) {
                const int k = m.stage.width() / m.logical.width();
                return {m.logical.topLeft() + (stage.topLeft() - m.stage.topLeft()) / k,
                        stage.size() / k};
            }
        }
        return stage;
    }

    static QRect toStage(const QRect& logical, const Monitor& m)
    {
        const int k = m.stage.width() / m.logical.width();
        return {m.stage.topLeft() + (logical.topLeft() - m.logical.topLeft()) * k,
                logical.size() * k};
    }

    // The shell writes a PNG of that area of the stage, at every monitor's own density.
    QImage screenshotArea(const QRect& stage)
    {
        const QString file = QDir(m_folder.path()).filePath("area.png");
        const QDBusMessage reply = call(
            kShell, "/org/gnome/Shell/Screenshot", "org.gnome.Shell.Screenshot", "ScreenshotArea",
            {stage.x(), stage.y(), stage.width(), stage.height(), false, file});
        if (reply.type() != QDBusMessage::ReplyMessage || !reply.arguments().value(0).toBool())
            return {};
        const QImage image(file);
        QFile::remove(file);
        return image;
    }

    QList<Monitor> m_monitors;
    QString m_session;
    QTemporaryDir m_folder;
};

} // namespace

std::unique_ptr<DesktopDriver> createGnomeDriver()
{
    return std::make_unique<GnomeDriver>();
}
