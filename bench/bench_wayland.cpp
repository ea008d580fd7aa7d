// A region screenshot in a Wayland session, timed from outside as a user meets it: from
// `vellori --screenshot` started as a whole process until the desktop shows the selection over
// both outputs (the still of the desktop comes first), and from the mouse-up until the complete
// PNG file is on disk. Next to them, in the same run, the desktop's own picture as another
// program gets it: on sway `grim -t ppm` of the whole desktop as a process (a still without PNG)
// for the first, `grim -g` of the same region for the second; on KWin its ScreenShot2 of the
// whole desktop and of the region, raw, through the test desktop's driver (which also hands the
// pixels over the bus). Run on a Wayland test desktop:
//   bash scripts/waylanddesktop.sh bench [sway|kwin] build/bench/bench_wayland [--runs N]

#include "../tests/waylandsupport.h"
#include "benchsupport.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <vector>

using namespace WaylandSupport;

namespace
{

constexpr int kTimeoutMs = 10000;
// On the scale-2 output: 200x100 pixels.
const QRect kArea(1400, 100, 100, 50);

// Polls until `done`; the milliseconds since `clock` started, or -1 on timeout. The backdrops
// answer the compositor meanwhile: sway holds new windows back until every window it changed
// has.
template <typename Done> double until(const QElapsedTimer& clock, Done done)
{
    while (!done()) {
        if (clock.elapsed() > kTimeoutMs)
            return -1;
        QApplication::processEvents();
        QThread::msleep(2);
    }
    return clock.nsecsElapsed() / 1e6;
}

// The saved screenshot once it is complete.
bool savedComplete(const QString& folder)
{
    QDirIterator it(folder, {"*.png"}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext() && QImage(it.next()).size() == kArea.size() * 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = arguments(argc, argv);
    const qsizetype runsAt = args.indexOf("--runs");
    const int runs = runsAt >= 0 && runsAt + 1 < args.size() ? args[runsAt + 1].toInt() : 7;
    const QString program = qEnvironmentVariable("VELLORI_PROGRAM");
    const bool sway = qEnvironmentVariable("VELLORI_DESKTOP") == "sway";
    if (program.isEmpty() || runs < 1 || !moveTo(layout().rest)) {
        std::fprintf(stderr, "run through scripts/waylanddesktop.sh bench, see the header\n");
        return 2;
    }

    // A desktop of some detail on each output: the portal encodes all of it.
    // Desktops ignore where a client asks to be: each is moved to its output as it shows.
    std::vector<std::unique_ptr<Backdrop>> backdrops;
    for (QScreen* screen : QGuiApplication::screens()) {
        backdrops.push_back(std::make_unique<Backdrop>(
            desktop(screen->geometry().size(), screen->devicePixelRatio())));
        backdrops.back()->show();
        QElapsedTimer wait;
        wait.start();
        until(wait, [&] {
            return windowsOf(QApplication::applicationPid()).size() == qsizetype(backdrops.size());
        });
        place(QApplication::applicationPid(), screen->name());
    }

    QTemporaryDir root;
    for (const char* folder : {"home/Desktop", "config", "run"})
        QDir(root.path()).mkpath(folder);
    QFile::setPermissions(root.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.insert("HOME", root.filePath("home"));
    env.insert("XDG_CONFIG_HOME", root.filePath("config"));
    env.insert("XDG_RUNTIME_DIR", root.filePath("run"));
    for (const QString& pair : desktopEnvironment())
        env.insert(pair.section('=', 0, 0), pair.section('=', 1));
    const QString shots = root.filePath("home/Desktop/Vellori截图");

    QProcess vellori;
    vellori.setProcessEnvironment(env);
    vellori.start(program, {});
    QElapsedTimer clock;
    clock.start();
    if (!vellori.waitForStarted() ||
        until(clock, [&] { return !windowsOf(vellori.processId()).isEmpty(); }) < 0 ||
        !closeWindows(vellori.processId())) {
        std::fprintf(stderr, "vellori did not show its control window\n");
        return 1;
    }
    QApplication::processEvents();

    std::vector<double> shown, saved, grimMs, grimPpmMs;
    for (int round = 0; round < runs; ++round) {
        QDir(shots).removeRecursively();
        moveTo(layout().rest);
        QProcess request;
        request.setProcessEnvironment(env);
        clock.restart();
        request.start(program, {"--screenshot"});
        const double selection =
            until(clock, [&] { return covers(vellori.processId()).size() == 2; });
        request.waitForFinished();
        // Listed is not yet drawn: sway sends input to the new windows once they are, which
        // takes a while on a busy machine; not timed.
        QElapsedTimer settle;
        settle.start();
        until(settle, [&] { return settle.elapsed() > 1500; });
        moveTo(kArea.topLeft());
        button(BTN_LEFT, true);
        moveTo(kArea.bottomRight() + QPoint(1, 1));
        clock.restart();
        button(BTN_LEFT, false);
        const double file = until(clock, [&] { return savedComplete(shots); });
        if (selection < 0 || file < 0) {
            std::fprintf(stderr, "run %d: selection %.0f ms, file %.0f ms\n", round + 1, selection,
                         file);
            return 1;
        }
        shown.push_back(selection);
        saved.push_back(file);
        until(clock, [&] { return covers(vellori.processId()).isEmpty(); });

        clock.restart();
        const bool ok = sway ? run("grim", {"-g",
                                            QString::asprintf("%d,%d %dx%d", kArea.x(), kArea.y(),
                                                              kArea.width(), kArea.height()),
                                            root.filePath("grim.png")})
                             : !picture(kArea).isNull();
        grimMs.push_back(clock.nsecsElapsed() / 1e6);
        clock.restart();
        const bool ppm =
            sway ? run("grim", {"-t", "ppm", root.filePath("grim.ppm")}) : !picture().isNull();
        grimPpmMs.push_back(clock.nsecsElapsed() / 1e6);
        if (!ok || !ppm) {
            std::fprintf(stderr, "the desktop's own picture failed\n");
            return 1;
        }
    }
    vellori.kill();
    vellori.waitForFinished();

    const double grimMedian = median(grimMs), ppmMedian = median(grimPpmMs);
    std::printf("region %dx%d points on the scale-2 output, median of %d runs\n", kArea.width(),
                kArea.height(), runs);
    std::printf("  %-34s %8.1f ms  (baseline)\n",
                sway ? "grim -t ppm, whole desktop" : "ScreenShot2, whole desktop", ppmMedian);
    std::printf("  vellori --screenshot to selection  %8.1f ms  %5.2fx\n", median(shown),
                median(shown) / ppmMedian);
    std::printf("  %-34s %8.1f ms  (baseline)\n",
                sway ? "grim -g, whole process" : "ScreenShot2 of the region", grimMedian);
    std::printf("  mouse-up to complete PNG           %8.1f ms  %5.2fx\n", median(saved),
                median(saved) / grimMedian);
    return 0;
}
