// KWin 5.27, headless: its fake input device for the pointer and keys, its scripting for the
// window tree, its ScreenShot2 for pixels (this driver's .desktop file lets it in), wl-paste for
// the clipboard (KWin offers data-control).

#include "desktopdriver.h"

#include "fake-input-client-protocol.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QTimer>
#include <QUuid>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <optional>

namespace
{

// One device for the whole desktop: the seat has a pointer only while a device exists, and
// clients bind it only once told, so a device made just before a click would lose the click.
class FakeInput
{
public:
    FakeInput()
    {
        m_display = wl_display_connect(nullptr);
        if (!m_display)
            return;
        wl_registry* registry = wl_display_get_registry(m_display);
        static const wl_registry_listener listener{
            [](void* data, wl_registry* r, uint32_t name, const char* interface, uint32_t version) {
                auto* self = static_cast<FakeInput*>(data);
                // Version 3 brought absolute motion, 4 keys.
                if (!self->m_input && version >= 4 &&
                    qstrcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
                    self->m_input = static_cast<org_kde_kwin_fake_input*>(
                        wl_registry_bind(r, name, &org_kde_kwin_fake_input_interface, 4));
            },
            [](void*, wl_registry*, uint32_t) {}};
        wl_registry_add_listener(registry, &listener, this);
        wl_display_roundtrip(m_display);
        wl_registry_destroy(registry);
        // KWin ignores a device until it has asked.
        if (m_input)
            org_kde_kwin_fake_input_authenticate(m_input, "Vellori tests", "drive the program");
        flush();
    }

    ~FakeInput()
    {
        if (m_input)
            org_kde_kwin_fake_input_destroy(m_input);
        if (m_display)
            wl_display_disconnect(m_display);
    }

    bool moveTo(QPoint p)
    {
        if (!m_input)
            return false;
        org_kde_kwin_fake_input_pointer_motion_absolute(m_input, wl_fixed_from_int(p.x()),
                                                        wl_fixed_from_int(p.y()));
        return flush();
    }

    bool button(uint32_t button, bool pressed)
    {
        if (!m_input)
            return false;
        org_kde_kwin_fake_input_button(m_input, button,
                                       pressed ? WL_POINTER_BUTTON_STATE_PRESSED
                                               : WL_POINTER_BUTTON_STATE_RELEASED);
        return flush();
    }

    bool key(uint32_t code, bool pressed)
    {
        if (!m_input)
            return false;
        org_kde_kwin_fake_input_keyboard_key(m_input, code,
                                             pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
        return flush();
    }

private:
    bool flush() { return m_display && wl_display_roundtrip(m_display) >= 0; }

    wl_display* m_display = nullptr;
    org_kde_kwin_fake_input* m_input = nullptr;
};

// The Linux key code that gives the keysym `name` unshifted in KWin's default layout (us); 0 if
// none does.
uint32_t keyCode(const QString& name)
{
    const xkb_keysym_t wanted = xkb_keysym_from_name(qPrintable(name), XKB_KEYSYM_NO_FLAGS);
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap =
        context ? xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
    const auto release = qScopeGuard([&] {
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
    });
    if (!keymap || wanted == XKB_KEY_NoSymbol)
        return 0;
    for (xkb_keycode_t k = xkb_keymap_min_keycode(keymap); k <= xkb_keymap_max_keycode(keymap);
         ++k) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap, k, 0, 0, &syms) == 1 && syms[0] == wanted)
            return k - 8; // xkb counts from 8
    }
    return 0;
}

// The one string a script sends back with callDBus.
class ScriptAnswer : public QDBusVirtualObject
{
public:
    std::optional<QString> text;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        if (message.member() != "answer" || message.arguments().size() != 1)
            return false;
        text = message.arguments()[0].toString();
        return true;
    }
};

QDBusMessage callKWin(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.kde.KWin", path, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

// Runs `body` inside KWin (org.kde.kwin.Scripting: load, run, unload), where answer(text) sends
// its result back; nothing when there is none within 5 s.
std::optional<QString> runScript(const QString& body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString token = QUuid::createUuid().toString(QUuid::Id128);
    const QString path = "/script/" + token;
    ScriptAnswer answer;
    if (!bus.registerVirtualObject(path, &answer))
        return {};
    const auto unregister = qScopeGuard([&] { bus.unregisterObject(path); });
    QTemporaryFile file(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath("XXXXXX.js"));
    if (!file.open())
        return {};
    // The interface name of callDBus must hold a dot.
    file.write(QString("function answer(text) { callDBus('%1', '%2', 'local.Script', 'answer', "
                       "text); }\n")
                   .arg(bus.baseService(), path)
                   .toUtf8() +
               body.toUtf8());
    file.close();
    const QString name = "vellori-" + token;
    const QDBusReply<int> id =
        callKWin("/Scripting", "org.kde.kwin.Scripting", "loadScript", {file.fileName(), name});
    if (!id.isValid() || id.value() < 0)
        return {};
    const auto unload = qScopeGuard(
        [&] { callKWin("/Scripting", "org.kde.kwin.Scripting", "unloadScript", {name}); });
    if (callKWin(QString("/%1").arg(id.value()), "org.kde.kwin.Script", "run").type() ==
        QDBusMessage::ErrorMessage)
        return {};
    const QDeadlineTimer deadline(5000);
    while (!answer.text && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return answer.text;
}

struct Window {
    qint64 pid;
    QRect frame;
    bool fullScreen;
};

// KWin's clients, oldest first.
QList<Window> windowList()
{
    const std::optional<QString> json = runScript(R"(
var list = [];
workspace.clientList().forEach(function (c) {
    var g = c.frameGeometry;
    list.push({pid: c.pid, frame: [g.x, g.y, g.width, g.height], fullScreen: c.fullScreen});
});
answer(JSON.stringify(list));
)");
    QList<Window> found;
    for (const QJsonValue& v : QJsonDocument::fromJson(json.value_or("").toUtf8()).array()) {
        const QJsonArray r = v["frame"].toArray();
        found.push_back({v["pid"].toInteger(),
                         {r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt()},
                         v["fullScreen"].toBool()});
    }
    return found;
}

// org.kde.KWin.ScreenShot2: raw pixels written into a pipe while KWin answers with their layout.
QImage screenShot(const QString& method, QVariantList arguments)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return {};
    QDBusMessage call = QDBusMessage::createMethodCall("org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                                       "org.kde.KWin.ScreenShot2", method);
    call.setArguments(arguments << QVariantMap{{"native-resolution", true}}
                                << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1])));
    ::close(fds[1]);
    QDBusPendingReply<QVariantMap> reply = QDBusConnection::sessionBus().asyncCall(call, 5000);
    QByteArray data;
    const QDeadlineTimer deadline(5000);
    // The pending call keeps a copy of the write end: the data ends with the size the reply
    // gives, not with the pipe.
    const auto complete = [&] {
        return reply.isFinished() && !reply.isError() &&
               data.size() >=
                   qsizetype(reply.value()["stride"].toInt()) * reply.value()["height"].toInt();
    };
    for (;;) {
        char buffer[1 << 16];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            data.append(buffer, n);
        else if (n == 0 || reply.isError() || complete() || deadline.hasExpired())
            break;
        else {
            pollfd ready{fds[0], POLLIN, 0};
            ::poll(&ready, 1, 20);
            QCoreApplication::processEvents();
        }
    }
    ::close(fds[0]);
    reply.waitForFinished();
    const QVariantMap r = reply.value();
    const int stride = r["stride"].toInt(), height = r["height"].toInt();
    if (reply.isError() || r["type"].toString() != "raw" ||
        data.size() < qsizetype(stride) * height)
        return {};
    return QImage(reinterpret_cast<const uchar*>(data.constData()), r["width"].toInt(), height,
                  stride, QImage::Format(r["format"].toInt()))
        .convertToFormat(QImage::Format_RGB32);
}

class KWinDriver : public DesktopDriver
{
public:
    QList<QRect> outputs() override
    {
        QList<QRect> found = outputsByName().values();
        std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return found;
    }

    QList<QRect> windows(qint64 pid, bool fullscreenOnly) override
    {
        QList<QRect> found;
        for (const Window& w : windowList())
            if (w.pid == pid && (w.fullScreen || !fullscreenOnly))
                found << w.frame;
        std::sort(found.begin(), found.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return found;
    }

    bool close(qint64 pid) override
    {
        return runScript(QString(R"(
workspace.clientList().forEach(function (c) { if (c.pid === %1) c.closeWindow(); });
answer('');
)")
                             .arg(pid))
            .has_value();
    }

    // Without a border, over the whole output: the newest window of the process.
    bool place(qint64 pid, const QString& output) override
    {
        const QRect area = outputsByName().value(output);
        return !area.isEmpty() && runScript(QString(R"(
var found = null, placed = 'no';
workspace.clientList().forEach(function (c) { if (c.pid === %1) found = c; });
for (var i = 0; found && i < workspace.numScreens; ++i) {
    var a = workspace.clientArea(KWin.ScreenArea, i, 1);
    if (a.x === %2 && a.y === %3 && a.width === %4 && a.height === %5) {
        workspace.sendClientToScreen(found, i);
        found.noBorder = true;
        found.frameGeometry = a;
        placed = 'yes';
    }
}
answer(placed);
)")
                                                .arg(pid)
                                                .arg(area.x())
                                                .arg(area.y())
                                                .arg(area.width())
                                                .arg(area.height())) == QString("yes");
    }

    // KWin draws no pointer into these.
    QByteArray picture(const QRect& area) override
    {
        const QImage image =
            area.isEmpty() ? screenShot("CaptureWorkspace", {})
                           : screenShot("CaptureArea", {area.x(), area.y(), uint(area.width()),
                                                        uint(area.height())});
        QByteArray ppm;
        QBuffer buffer(&ppm);
        return !image.isNull() && buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PPM")
                   ? ppm
                   : QByteArray();
    }

    bool moveTo(QPoint point) override { return m_input.moveTo(point); }
    bool button(uint button, bool pressed) override { return m_input.button(button, pressed); }

    bool keys(const QStringList& names) override
    {
        QList<uint32_t> codes;
        for (const QString& name : names) {
            codes << keyCode(name);
            if (!codes.back())
                return false;
        }
        for (uint32_t code : codes) {
            if (!m_input.key(code, true) || !m_input.key(code, false))
                return false;
        }
        return true;
    }

    // Released by a timer, so the driver answers other calls meanwhile.
    bool hold(const QString& modifier, int ms) override
    {
        const uint32_t code = keyCode(modifier == "ctrl" ? "Control_L" : "Shift_L");
        if ((modifier != "ctrl" && modifier != "shift") || !m_input.key(code, true))
            return false;
        QTimer::singleShot(ms, [this, code] { m_input.key(code, false); });
        return true;
    }

    QByteArray clipboard(const QString& type) override
    {
        QByteArray content;
        return runTool("wl-paste", {"-t", type}, &content) ? content : QByteArray();
    }

private:
    // Each output's place in the layout, by name, as KWin's screen settings report it.
    static QMap<QString, QRect> outputsByName()
    {
        QByteArray json;
        runTool("kscreen-doctor", {"-j"}, &json);
        QMap<QString, QRect> found;
        for (const QJsonValue& o : QJsonDocument::fromJson(json)["outputs"].toArray()) {
            const QJsonObject pos = o["pos"].toObject(), size = o["size"].toObject();
            const double scale = o["scale"].toDouble(1);
            found.insert(o["name"].toString(), QRect(pos["x"].toInt(), pos["y"].toInt(),
                                                     qRound(size["width"].toInt() / scale),
                                                     qRound(size["height"].toInt() / scale)));
        }
        return found;
    }

    FakeInput m_input;
};

} // namespace

std::unique_ptr<DesktopDriver> createKWinDriver()
{
    return std::make_unique<KWinDriver>();
}
