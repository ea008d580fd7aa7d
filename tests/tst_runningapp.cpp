// The built program as real processes on the test X server, driven from outside like a user:
// a second start hands over to the running one, a crashed run does not keep the next one from
// starting, and the pen overlay covers both monitors and goes away on real input.

#include "app/controlwindow.h"
#include "overlay/overlaycontentview.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace
{

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* connection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(const QByteArray& name)
{
    xcb_connection_t* c = connection();
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr));
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Geometry in root coordinates, also for windows inside a window manager's frame.
QRect rootGeometry(xcb_window_t window)
{
    xcb_connection_t* c = connection();
    Reply<xcb_get_geometry_reply_t> g(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    if (!g)
        return {};
    Reply<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, g->root, 0, 0), nullptr));
    return t ? QRect(t->dst_x, t->dst_y, g->width, g->height) : QRect();
}

bool xdotool(const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(5000))
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The mapped windows of process `pid` of the given size.
QList<xcb_window_t> visibleWindows(qint64 pid, QSize size)
{
    QByteArray ids;
    xdotool({"search", "--onlyvisible", "--pid", QString::number(pid)}, &ids);
    QList<xcb_window_t> found;
    for (const QByteArray& line : ids.split('\n')) {
        bool ok = false;
        const auto window = xcb_window_t(line.trimmed().toULong(&ok));
        if (ok && rootGeometry(window).size() == size)
            found << window;
    }
    return found;
}

QPoint centreIn(const QWidget* widget, const QWidget* window)
{
    return widget->mapTo(window, widget->rect().center());
}

xcb_window_t controlWindow(qint64 pid)
{
    const QList<xcb_window_t> windows = visibleWindows(pid, QSize(480, 390));
    return windows.size() == 1 ? windows.front() : XCB_WINDOW_NONE;
}

QList<QRect> overlayGeometries(qint64 pid)
{
    QList<QRect> geometries;
    for (xcb_window_t w : visibleWindows(pid, QSize(960, 1080)))
        geometries << rootGeometry(w);
    std::sort(geometries.begin(), geometries.end(),
              [](const QRect& a, const QRect& b) { return a.x() < b.x(); });
    return geometries;
}

// Like QTRY_VERIFY, without its extra wait on failure, which an expected failure would pay too.
template <typename Predicate> bool eventually(Predicate predicate, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!predicate()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

// What the window manager sends when the user clicks the close button.
void requestClose(xcb_window_t window)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection(), 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection());
}

// A private home and temp directory, so the socket name and the settings belong to this test;
// every program started here is killed at the end.
class Sandbox
{
public:
    Sandbox()
    {
        const QDir root(m_root.path());
        root.mkpath("home");
        root.mkpath("tmp");
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("HOME", root.filePath("home"));
        m_env.insert("TMPDIR", root.filePath("tmp"));
        m_env.insert("QT_QPA_PLATFORM", "xcb");
        m_env.remove("XDG_CONFIG_HOME");
    }

    ~Sandbox()
    {
        for (auto& process : m_processes)
            kill(*process);
    }

    bool isValid() const { return m_root.isValid(); }
    // The program names its socket after the home directory and puts it in the temp directory.
    QString socketPath() const { return m_root.filePath("tmp/vellori-home"); }

    QProcess& start()
    {
        auto& process = m_processes.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(m_env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(QStringLiteral(VELLORI_BINARY), {});
        process->waitForStarted();
        return *process;
    }

    static void kill(QProcess& process)
    {
        process.kill();
        process.waitForFinished(5000);
    }

private:
    QTemporaryDir m_root;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

} // namespace

class TestRunningApp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(connection(), "needs the X server of the test command"); }

    void secondStartShowsTheRunningOne_data()
    {
        QTest::addColumn<bool>("minimize");
        QTest::newRow("closed") << false;
        QTest::newRow("minimized") << true;
    }

    void secondStartShowsTheRunningOne()
    {
        QFETCH(bool, minimize);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QProcess& first = sandbox.start();
        const qint64 pid = first.processId();
        QTRY_VERIFY_WITH_TIMEOUT(controlWindow(pid) != XCB_WINDOW_NONE, 10000);
        QVERIFY(QFileInfo(sandbox.socketPath()).exists());

        if (minimize)
            QVERIFY(xdotool({"windowminimize", QString::number(controlWindow(pid))}));
        else
            requestClose(controlWindow(pid));
        QTRY_VERIFY_WITH_TIMEOUT(controlWindow(pid) == XCB_WINDOW_NONE, 5000);
        QCOMPARE(first.state(), QProcess::Running);

        QProcess& second = sandbox.start();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));

        QVERIFY(eventually([&] { return controlWindow(pid) != XCB_WINDOW_NONE; }, 3000));
        QCOMPARE(first.state(), QProcess::Running);
    }

    void crashedRunDoesNotBlockTheNext()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QProcess& crashed = sandbox.start();
        QTRY_VERIFY_WITH_TIMEOUT(controlWindow(crashed.processId()) != XCB_WINDOW_NONE, 10000);
        Sandbox::kill(crashed);
        QVERIFY(QFileInfo(sandbox.socketPath()).exists());

        QProcess& next = sandbox.start();
        QTRY_VERIFY_WITH_TIMEOUT(controlWindow(next.processId()) != XCB_WINDOW_NONE, 10000);
        QCOMPARE(next.state(), QProcess::Running);
    }

    // Keys reach the overlay through its keyboard grab, not through a focus Qt could fake.
    void overlayOnBothMonitorsLeavesOnRealInput_data()
    {
        QTest::addColumn<QString>("input");
        QTest::newRow("Escape over the monitor without toolbar") << "Escape";
        QTest::newRow("right click on the monitor without toolbar") << "right click";
        QTest::newRow("toolbar exit button") << "toolbar";
    }

    void overlayOnBothMonitorsLeavesOnRealInput()
    {
        QFETCH(QString, input);
        Sandbox sandbox;
        QProcess& app = sandbox.start();
        const qint64 pid = app.processId();
        QTRY_VERIFY_WITH_TIMEOUT(controlWindow(pid) != XCB_WINDOW_NONE, 10000);

        // Laid out here with the same fonts and platform, so the buttons sit where they do in
        // the program.
        ControlWindow window;
        window.setAttribute(Qt::WA_DontShowOnScreen);
        window.show();
        const QPoint marker = centreIn(window.markerButton(), &window);
        QVERIFY(xdotool({"mousemove", "--window", QString::number(controlWindow(pid)),
                         QString::number(marker.x()), QString::number(marker.y()), "click", "1"}));
        QTRY_COMPARE_WITH_TIMEOUT(overlayGeometries(pid),
                                  (QList<QRect>{{0, 0, 960, 1080}, {960, 0, 960, 1080}}), 5000);

        if (input == "Escape") {
            QVERIFY(xdotool({"mousemove", "1400", "500", "key", "Escape"}));
        } else if (input == "right click") {
            QVERIFY(xdotool({"mousemove", "1400", "500", "click", "3"}));
        } else {
            SettingsStore settings;
            OverlayContentView content(settings, true);
            content.setAttribute(Qt::WA_DontShowOnScreen);
            content.resize(960, 1080);
            content.show();
            QPushButton* exit = nullptr;
            for (QPushButton* b : content.toolbar()->findChildren<QPushButton*>())
                exit = b->text() == QStringLiteral("右键退出") ? b : exit;
            QVERIFY(exit);
            const QPoint p = centreIn(exit, &content);
            QVERIFY(xdotool(
                {"mousemove", QString::number(p.x()), QString::number(p.y()), "click", "1"}));
        }
        QTRY_VERIFY_WITH_TIMEOUT(overlayGeometries(pid).isEmpty(), 5000);
        QCOMPARE(app.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestRunningApp)
#include "tst_runningapp.moc"
