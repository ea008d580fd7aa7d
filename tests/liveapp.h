// The built program run as a user meets it: private folders, real input through XTest from
// xdotool, and nothing looked at but windows, root pixels and files. Needs the test desktop:
// monitors L and R, 960x1080 each, side by side.

#pragma once

#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace live
{

inline const QRect kL(0, 0, 960, 1080), kR(960, 0, 960, 1080);
inline const QList<QRect> kBoth{kL, kR};
// The tray host's strip, where the program's icon changes with its status.
inline const QRect kTray(840, 1056, 120, 24);

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T> Reply<T> reply(T* r)
{
    return Reply<T>(r, &std::free);
}

// A plain client of our own, apart from Qt's.
inline xcb_connection_t* x()
{
    static xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    return connection;
}

inline xcb_window_t root()
{
    return xcb_setup_roots_iterator(xcb_get_setup(x())).data->root;
}

inline bool connected()
{
    return !xcb_connection_has_error(x()) &&
           xcb_setup_roots_iterator(xcb_get_setup(x())).data->root_depth == 24;
}

inline xcb_atom_t atom(const char* name)
{
    auto r = reply(xcb_intern_atom_reply(
        x(), xcb_intern_atom(x(), 0, uint16_t(qstrlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

inline xcb_keycode_t keycode(xcb_keysym_t keysym)
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(x());
    auto codes = reply(xcb_key_symbols_get_keycode(symbols, keysym));
    xcb_key_symbols_free(symbols);
    return codes ? *codes : xcb_keycode_t(0);
}

// False when another client holds the combination (BadAccess).
inline bool grabKey(xcb_keysym_t keysym, uint16_t modifiers = 0)
{
    return !reply(
        xcb_request_check(x(), xcb_grab_key_checked(x(), 1, root(), modifiers, keycode(keysym),
                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
}

inline void ungrabKey(xcb_keysym_t keysym)
{
    xcb_ungrab_key(x(), keycode(keysym), root(), XCB_MOD_MASK_ANY);
    xcb_flush(x());
}

// What the screen shows, windows and compositor included.
inline QImage grab(const QRect& area = kL | kR)
{
    auto r = reply(xcb_get_image_reply(
        x(),
        xcb_get_image(x(), XCB_IMAGE_FORMAT_Z_PIXMAP, root(), int16_t(area.x()), int16_t(area.y()),
                      uint16_t(area.width()), uint16_t(area.height()), ~0u),
        nullptr));
    if (!r || xcb_get_image_data_length(r.get()) != area.width() * area.height() * 4)
        return {};
    return QImage(xcb_get_image_data(r.get()), area.width(), area.height(), QImage::Format_RGB32)
        .copy();
}

// Where two grabs of the whole screen differ inside `area`, as a bounding box.
inline QRect changed(const QImage& a, const QImage& b, const QRect& area)
{
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int xx = area.left(); xx <= area.right(); ++xx) {
            if (a.pixel(xx, y) != b.pixel(xx, y) && !kTray.contains(xx, y))
                box |= QRect(xx, y, 1, 1);
        }
    }
    return box;
}

// A root background a compositor paints too: a tile named in the properties it reads. The tile
// lives as long as this connection.
inline void paintRoot(QRgb colour)
{
    const xcb_pixmap_t tile = xcb_generate_id(x());
    xcb_create_pixmap(x(), 24, tile, root(), 1, 1);
    const xcb_gcontext_t gc = xcb_generate_id(x());
    const uint32_t pixel = colour & 0xffffff;
    xcb_create_gc(x(), gc, tile, XCB_GC_FOREGROUND, &pixel);
    const xcb_rectangle_t one{0, 0, 1, 1};
    xcb_poly_fill_rectangle(x(), tile, gc, 1, &one);
    xcb_change_window_attributes(x(), root(), XCB_CW_BACK_PIXMAP, &tile);
    for (const char* name : {"_XROOTPMAP_ID", "_XSETROOT_ID"})
        xcb_change_property(x(), XCB_PROP_MODE_REPLACE, root(), atom(name), XCB_ATOM_PIXMAP, 32, 1,
                            &tile);
    xcb_clear_area(x(), 1, root(), 0, 0, 0, 0);
    xcb_flush(x());
}

inline bool run(const QString& program, const QStringList& arguments, QByteArray* out = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

inline bool xdotool(const QString& commands)
{
    return run("xdotool", commands.split(' ', Qt::SkipEmptyParts));
}

// A left drag through the points, as a hand gives it.
inline bool drag(const QList<QPoint>& points)
{
    QString commands;
    for (const QPoint& p : points)
        commands += QString(" mousemove %1 %2%3")
                        .arg(p.x())
                        .arg(p.y())
                        .arg(&p == &points.front() ? " mousedown 1" : "");
    return xdotool(commands + " mouseup 1");
}

struct Window {
    xcb_window_t id;
    QRect rect;
    bool overrideRedirect;
};

// The viewable top-level windows of a process.
inline QList<Window> windowsOf(qint64 pid)
{
    QByteArray ids;
    run("xdotool", {"search", "--onlyvisible", "--pid", QString::number(pid)}, &ids);
    QList<Window> found;
    for (const QByteArray& line : ids.split('\n')) {
        const auto id = xcb_window_t(line.toULong());
        auto g = reply(xcb_get_geometry_reply(x(), xcb_get_geometry(x(), id), nullptr));
        auto a = reply(
            xcb_get_window_attributes_reply(x(), xcb_get_window_attributes(x(), id), nullptr));
        auto t = reply(xcb_translate_coordinates_reply(
            x(), xcb_translate_coordinates(x(), id, root(), 0, 0), nullptr));
        if (g && a && t && a->map_state == XCB_MAP_STATE_VIEWABLE)
            found.push_back(
                {id, {t->dst_x, t->dst_y, g->width, g->height}, a->override_redirect != 0});
    }
    return found;
}

// The monitors covered by the program's pen or selection windows, left to right.
inline QList<QRect> covers(qint64 pid)
{
    QList<QRect> rects;
    for (const Window& w : windowsOf(pid)) {
        if (w.overrideRedirect && w.rect.width() >= 480)
            rects << w.rect;
    }
    std::sort(rects.begin(), rects.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
    return rects;
}

// Windows the window manager handles: the control window, alerts.
inline QList<xcb_window_t> managed(qint64 pid)
{
    QList<xcb_window_t> ids;
    for (const Window& w : windowsOf(pid)) {
        if (!w.overrideRedirect)
            ids << w.id;
    }
    return ids;
}

// Closed as a user does: Alt+F4 to the window manager.
inline bool closeControlWindow(qint64 pid)
{
    const QList<xcb_window_t> shown = managed(pid);
    return shown.size() == 1 &&
           xdotool(QString("windowactivate --sync %1 key alt+F4").arg(shown[0])) &&
           QTest::qWaitFor([&] { return managed(pid).isEmpty(); }, 5000);
}

inline QStringList filesUnder(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

// A private home, desktop, settings, runtime and temp folder; every process started in it is
// killed at the end.
class Sandbox
{
public:
    explicit Sandbox(const QStringList& environment = {})
    {
        const QDir root(m_root.path());
        for (const char* folder : {"home/Desktop", "config/Vellori", "run", "tmp"})
            root.mkpath(folder);
        QFile::setPermissions(root.filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove("QT_SCREEN_SCALE_FACTORS");
        m_env.insert("QT_QPA_PLATFORM", "xcb");
        m_env.insert("HOME", root.filePath("home"));
        m_env.insert("XDG_CONFIG_HOME", root.filePath("config"));
        m_env.insert("XDG_RUNTIME_DIR", root.filePath("run"));
        m_env.insert("TMPDIR", root.filePath("tmp"));
        for (const QString& pair : environment)
            m_env.insert(pair.section('=', 0, 0), pair.section('=', 1));
    }

    ~Sandbox()
    {
        for (auto& process : m_processes) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    QString settingsFile() const { return m_root.filePath("config/Vellori/vellori.conf"); }
    QString socketFile() const { return m_root.filePath("tmp/vellori-home"); }
    QString screenshotRoot() const { return m_root.filePath("home/Desktop/Vellori截图"); }

    QProcess& start()
    {
        auto& process = *m_processes.emplace_back(std::make_unique<QProcess>());
        process.setProcessEnvironment(m_env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(VELLORI_BINARY, {});
        process.waitForStarted();
        return process;
    }

    // Started, with its control window on screen; null otherwise.
    QProcess* launch()
    {
        QProcess& process = start();
        const bool shown =
            QTest::qWaitFor([&] { return !managed(process.processId()).isEmpty(); }, 10000);
        return shown ? &process : nullptr;
    }

private:
    QTemporaryDir m_root;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

} // namespace live
