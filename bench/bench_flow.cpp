// The region screenshot end to end through the built program: from the mouse-up that ends the
// drag to the complete PNG file in its folder, on a 1920x1080 desktop without a compositor,
// under xcompmgr, and under xcompmgr -f (fading). Also from F9 to the selection on screen.
//
// Baseline, measured in the same run and process: what the program must do after the mouse-up
// at the least (cut the region from a still, encode, write), and the floor of the design that
// waited a fixed 80 ms after the selection closed when a compositor ran, then read the region.
//
// Usage: bench_flow [runs]. Needs Xvfb and xcompmgr; for each case the program starts its own
// Xvfb (and compositor) and re-runs itself there with --case. Input goes through XTest.

#include "benchsupport.h"
#include "screenshot/capturegeometry.h"
#include "screenshot/pngencoder.h"
#include "screenshot/screencapturer.h"
#include "screenshot/screenshotpaths.h"
#include "tests/xcbsupport.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xtest.h>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

using namespace XcbSupport;

namespace
{

constexpr int kDefaultRuns = 15;
// Where the old design waited for the compositor before it read the region.
constexpr double kOldWaitMs = 80;
const QRect kRegion(160, 90, 1600, 900);
const QPoint kProbe(1900, 1060); // outside the region, where the dimming shows

struct Mode {
    const char* name;
    QStringList compositor; // xcompmgr's arguments; none: no compositor
};
const Mode kModes[] = {
    {"no compositor", {}},
    {"xcompmgr", {"xcompmgr"}},
    {"xcompmgr -f (fading)", {"xcompmgr", "-f"}},
};

[[noreturn]] void fail(const QString& why)
{
    std::fprintf(stderr, "bench_flow: %s\n", qPrintable(why));
    std::exit(1);
}

double msSince(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

void fakeInput(uint8_t type, uint8_t detail, QPoint at = {})
{
    xcb_test_fake_input(x(), type, detail, XCB_CURRENT_TIME, root(), int16_t(at.x()),
                        int16_t(at.y()), 0);
    xcb_flush(x());
}

void move(QPoint to)
{
    fakeInput(XCB_MOTION_NOTIFY, 0, to);
}

// Keeps Qt's own windows painted while waiting for the other program.
bool waitFor(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(200);
    }
    return true;
}

QRgb probe()
{
    return grab(QRect(kProbe, QSize(1, 1))).pixel(0, 0);
}

// Waits for a PNG (no hidden temporary) to appear in the folder; true when one did.
bool awaitFile(int inotify, int timeoutMs)
{
    alignas(inotify_event) char buffer[4096];
    pollfd fd{inotify, POLLIN, 0};
    while (poll(&fd, 1, timeoutMs) > 0) {
        const ssize_t n = read(inotify, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len && event->name[0] != '.' && QByteArray(event->name).endsWith(".png"))
                return true;
            at += qsizetype(sizeof(inotify_event) + event->len);
        }
    }
    return false;
}

// Our own read, crop, encode and write of the region, as baselines.
struct Direct {
    std::vector<double> read, cropEncodeWrite;
};

Direct measureDirect(int runs, const QString& folder)
{
    const std::unique_ptr<ScreenCapturer> capturer = createScreenCapturer();
    Direct d;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        std::optional<StillsResult> result;
        capturer->grabStills([&](const StillsResult& r) { result = r; }, {});
        waitFor([&] { return result.has_value(); });
        if (!result || result->stills.empty())
            fail(QStringLiteral("no still"));
        d.read.push_back(msSince(timer));
        timer.restart();
        const QByteArray png = encodePng(cropStill(result->stills.front().image, kRegion));
        QString error;
        if (ScreenshotPaths::writeNewFile(folder + "/direct.png", png, error).isEmpty())
            fail(error);
        d.cropEncodeWrite.push_back(msSince(timer));
        QFile::remove(folder + "/direct.png");
    }
    return d;
}

int runCase(const Mode& mode, int runs)
{
    const QImage picture = desktop(QGuiApplication::primaryScreen()->size(), 1.0);
    Backdrop backdrop(picture);
    backdrop.setGeometry(QGuiApplication::primaryScreen()->geometry());
    backdrop.show();
    const QRgb shown = picture.pixel(kProbe);
    if (!waitFor([&] { return probe() == shown; }))
        fail(QStringLiteral("the picture never showed"));

    QTemporaryDir sandbox;
    for (const char* folder : {"home/Desktop", "config", "run", "tmp"})
        QDir(sandbox.path()).mkpath(folder);
    QFile::setPermissions(sandbox.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [key, value] : {std::pair{"HOME", "home"},
                                     {"XDG_CONFIG_HOME", "config"},
                                     {"XDG_RUNTIME_DIR", "run"},
                                     {"TMPDIR", "tmp"}})
        env.insert(key, sandbox.filePath(value));
    env.insert("QT_QPA_PLATFORM", "xcb");
    QProcess program;
    program.setProcessEnvironment(env);
    program.setStandardErrorFile(QProcess::nullDevice()); // ALSA complains without a card
    program.start(VELLORI_BINARY, {});
    const xcb_keycode_t f9 = keycode(0xffc6); // XK_F9
    // Up once it holds its hot key.
    if (!waitFor([&] {
            if (!grabKey(f9))
                return true;
            ungrabKey(f9);
            return false;
        }))
        fail(QStringLiteral("vellori did not start"));
    const QString day = sandbox.filePath("home/Desktop/Vellori截图/") +
                        QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));

    std::vector<double> toSelection, toFile;
    double firstSelection = 0;
    for (int run = 0; run <= runs; ++run) { // the first, with the control window up, uncounted
        QElapsedTimer timer;
        timer.start();
        fakeInput(XCB_KEY_PRESS, f9);
        fakeInput(XCB_KEY_RELEASE, f9);
        if (!waitFor([&] { return probe() != shown; }))
            fail(QStringLiteral("no selection"));
        const double selection = msSince(timer);
        const int inotify = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(inotify, QFile::encodeName(day).constData(), IN_CREATE | IN_MOVED_TO);
        move(kRegion.topLeft());
        fakeInput(XCB_BUTTON_PRESS, 1, kRegion.topLeft());
        move(kRegion.center());
        move(kRegion.bottomRight() + QPoint(1, 1));
        // The drag is handled before the clock starts.
        waitFor([] { return false; }, 100);
        timer.restart();
        fakeInput(XCB_BUTTON_RELEASE, 1, kRegion.bottomRight() + QPoint(1, 1));
        const bool written = awaitFile(inotify, 10000);
        const double file = msSince(timer);
        close(inotify);
        if (!written)
            fail(QStringLiteral("no file"));
        if (run > 0) {
            toSelection.push_back(selection);
            toFile.push_back(file);
        } else {
            firstSelection = selection;
        }
        // Until the selection has left the screen.
        if (!waitFor([&] { return probe() == shown; }))
            fail(QStringLiteral("the selection stayed"));
    }
    program.kill();
    program.waitForFinished();

    const Direct direct = measureDirect(runs, sandbox.path());
    const double least = median(direct.cropEncodeWrite);
    const double oldFloor =
        mode.compositor.isEmpty() ? least : kOldWaitMs + median(direct.read) + least;
    const double flow = median(toFile);
    std::printf("\n%s, %dx%d region, median of %d runs\n", mode.name, kRegion.width(),
                kRegion.height(), runs);
    std::printf("  F9 to selection on screen       %7.1f ms   (%.1f ms the first time, with the "
                "control window up)\n",
                median(toSelection), firstSelection);
    std::printf("  mouse-up to complete PNG        %7.1f ms\n", flow);
    std::printf("  baseline: cut, encode, write    %7.1f ms   flow x%.2f\n", least, flow / least);
    std::printf("  old design's floor%s %7.1f ms   flow x%.2f\n",
                mode.compositor.isEmpty() ? " (no wait)    " : " (80 ms wait) ", oldFloor,
                flow / oldFloor);
    return 0;
}

// Starts Xvfb (and the compositor) for the case and runs this program there.
int runInXvfb(int index, int runs)
{
    const Mode& mode = kModes[index];
    QProcess xvfb, compositor;
    const QString display = startXvfb(xvfb, QSize(1920, 1080));
    if (display.isEmpty())
        fail(QStringLiteral("Xvfb did not start"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.remove("QT_SCREEN_SCALE_FACTORS");
    env.remove("WAYLAND_DISPLAY");
    if (!mode.compositor.isEmpty()) {
        compositor.setProcessEnvironment(env);
        compositor.start(mode.compositor.front(), mode.compositor.mid(1));
        if (!compositor.waitForStarted())
            fail(QStringLiteral("xcompmgr did not start"));
    }
    const int status = runCaseProcess(env, index, runs);
    compositor.terminate();
    compositor.waitForFinished(5000);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const QStringList args = arguments(argc, argv);
    if (args.size() == 3 && args[0] == "--case") {
        QApplication app(argc, argv);
        const Mode& mode = kModes[args[1].toInt()];
        // Up once it owns the compositing selection.
        if (!mode.compositor.isEmpty() &&
            !waitFor([] { return selectionOwner("_NET_WM_CM_S0") != XCB_WINDOW_NONE; }))
            fail(QStringLiteral("no compositor"));
        return runCase(mode, args[2].toInt());
    }
    QCoreApplication app(argc, argv);
    const int runs = args.isEmpty() ? kDefaultRuns : std::max(1, args[0].toInt());
    std::printf("vellori region screenshot, mouse-up to PNG through the program; %d cores\n",
                QThread::idealThreadCount());
    std::fflush(stdout);
    int rc = 0;
    for (int i = 0; i < int(std::size(kModes)); ++i)
        rc |= runInXvfb(i, runs);
    return rc;
}
