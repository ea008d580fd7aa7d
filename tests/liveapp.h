// The built program run as a user meets it: private folders, real input through XTest from
// xdotool, and nothing looked at but windows, root pixels and files. Needs the test desktop:
// monitors L and R, 960x1080 each, side by side.

#pragma once

#include "xcbsupport.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <X11/keysym.h>

#include <utility>
#include <vector>

namespace live
{

using namespace XcbSupport;

inline const QRect kL(0, 0, 960, 1080), kR(960, 0, 960, 1080);
inline const QList<QRect> kBoth{kL, kR};
// The tray host's strip, where the program's icon changes with its status.
inline const QRect kTray(840, 1056, 120, 24);

// Where two grabs of the whole screen differ inside `area`, as a bounding box.
inline QRect changed(const QImage& a, const QImage& b, const QRect& area)
{
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int xx = area.left(); xx <= area.right(); ++xx)
            if (a.pixel(xx, y) != b.pixel(xx, y) && !kTray.contains(xx, y))
                box |= QRect(xx, y, 1, 1);
    return box;
}

// A left drag through the points, as a hand gives it.
inline bool drag(const QList<QPoint>& points)
{
    QString commands;
    for (const QPoint& p : points)
        commands += QString(" mousemove %1 %2").arg(p.x()).arg(p.y()) +
                    (&p == &points.front() ? " mousedown 1" : "");
    return xdotool(commands + " mouseup 1");
}

// The viewable top-level windows of a process, by id: override-redirect ones (the pen, the
// selection) sit right on the root, so their geometry is in root coordinates; the others are
// those the window manager handles (the control window, alerts).
inline QMap<xcb_window_t, QRect> windowsOf(const QProcess* app, bool overrideRedirect)
{
    QByteArray ids;
    run("xdotool", {"search", "--onlyvisible", "--pid", QString::number(app->processId())}, &ids);
    QMap<xcb_window_t, QRect> found;
    for (const QByteArray& line : ids.split('\n')) {
        const auto id = xcb_window_t(line.toULong());
        auto g = reply(xcb_get_geometry_reply(x(), xcb_get_geometry(x(), id), nullptr));
        auto a = reply(
            xcb_get_window_attributes_reply(x(), xcb_get_window_attributes(x(), id), nullptr));
        if (g && a && a->map_state == XCB_MAP_STATE_VIEWABLE &&
            bool(a->override_redirect) == overrideRedirect)
            found.insert(id, {g->x, g->y, g->width, g->height});
    }
    return found;
}

// The monitors covered by the program's pen or selection windows, left to right.
inline QList<QRect> covers(const QProcess* app)
{
    QList<QRect> rects = windowsOf(app, true).values();
    rects.removeIf([](QRect r) { return r.width() < 480; });
    std::sort(rects.begin(), rects.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
    return rects;
}

// Keys pressed, then until the program's pen or selection covers just `monitors`.
inline bool pressCovers(const QString& keys, const QProcess* app, const QList<QRect>& monitors)
{
    return xdotool("key " + keys) && QTest::qWaitFor([&] { return covers(app) == monitors; });
}

// Windows the window manager handles: the control window, alerts.
inline QList<xcb_window_t> managed(const QProcess* app)
{
    return windowsOf(app, false).keys();
}

inline bool exitsWithZero(QProcess& app)
{
    return app.waitForFinished(5000) && app.exitStatus() == QProcess::NormalExit &&
           app.exitCode() == 0;
}

inline QStringList filesUnder(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

// The screen once it has stopped changing, as when a compositor has faded windows out; null
// when it never does.
inline QImage settledScreen()
{
    QImage shown = grab();
    const bool settled = QTest::qWaitFor([&] {
        QTest::qWait(50);
        return std::exchange(shown, grab()) == shown;
    });
    return settled ? shown : QImage();
}

// NAME=VALUE sets a variable, a bare NAME takes it away.
inline void amend(QProcessEnvironment& environment, const QStringList& changes)
{
    for (const QString& change : changes) {
        if (change.contains('='))
            environment.insert(change.section('=', 0, 0), change.section('=', 1));
        else
            environment.remove(change);
    }
}

// A private home, desktop, settings, runtime and temp folder; every process started in it is
// killed at the end.
class Sandbox
{
public:
    explicit Sandbox(const QStringList& environment = {})
    {
        for (const char* folder : {"home/Desktop", "config/Vellori", "run", "tmp"})
            QDir(m_root.path()).mkpath(folder);
        // Screenshots stay in the sandbox also when a test gives the program another home.
        QFile dirs(path("config/user-dirs.dirs"));
        if (dirs.open(QIODevice::WriteOnly))
            dirs.write("XDG_DESKTOP_DIR=\"" + path("home/Desktop").toUtf8() + "\"\n");
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env.remove("QT_SCREEN_SCALE_FACTORS");
        amend(m_env, QStringList{"QT_QPA_PLATFORM=xcb", "HOME=" + path("home"),
                                 "XDG_CONFIG_HOME=" + path("config"),
                                 "XDG_RUNTIME_DIR=" + path("run"), "TMPDIR=" + path("tmp")} +
                         environment);
    }

    ~Sandbox()
    {
        for (auto& process : m_processes) {
            process->kill();
            process->waitForFinished(5000);
        }
        // Until a compositor has faded the windows out: a dead program's window that xcompmgr -f
        // is still fading can keep the next program's windows from ever showing. X only.
        if (qEnvironmentVariableIsSet("DISPLAY") && settledScreen().isNull())
            qWarning("the screen was still changing after the programs ended");
    }

    QString path(const QString& relative) const { return m_root.filePath(relative); }
    QString screenshotRoot() const { return path("home/Desktop/Vellori截图"); }

    const QProcessEnvironment& environment() const { return m_env; }

    // `environment` amends the sandbox's own.
    QProcess& start(const QStringList& arguments = {}, const QStringList& environment = {},
                    QProcess::ProcessChannelMode channels = QProcess::ForwardedChannels)
    {
        auto& process = *m_processes.emplace_back(std::make_unique<QProcess>());
        QProcessEnvironment env = m_env;
        amend(env, environment);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(channels);
        process.start(VELLORI_BINARY, arguments);
        process.waitForStarted();
        return process;
    }

    // Run to its end, as from a key binding: the exit code, or -1 when it did not end in time.
    int command(const QStringList& arguments, const QStringList& environment = {})
    {
        QProcess& process = start(arguments, environment);
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
                   ? process.exitCode()
                   : -1;
    }

    // Started, with its control window on screen; null otherwise.
    QProcess* launch()
    {
        QProcess& process = start();
        return QTest::qWaitFor([&] { return !managed(&process).isEmpty(); }, 10000) ? &process
                                                                                    : nullptr;
    }

private:
    QTemporaryDir m_root;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

} // namespace live
