// `vellori --pen` as a key binding runs it: a whole new process, from the moment it is started
// to the pen's toolbar painted on the X server by the running instance. Next to it, in the same
// run, the smallest Qt Widgets program started the same way until its window is painted on the
// server. Then the key binding's own cost: `vellori --screenshot` from its start to its exit,
// the running instance taking the request, next to the smallest Qt Core program and `true`, each
// also from start to exit. The first screenshot request opens the selection, which stays open;
// the measured ones are answered and ignored as a key pressed again during a selection is. Run
// it on an X server with the pen's toolbar on the top 100 pixel rows, as on the test desktop:
// DISPLAY=:N build/bench/bench_cli [--runs N].

#include "app/singleinstance.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <sys/resource.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

constexpr int kTimeoutMs = 10000;
const QRect kBand(0, 0, 1920, 100);

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The pixels of the band as the server shows them, compositor included.
QByteArray band(xcb_connection_t* x)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    xcb_get_image_reply_t* r = xcb_get_image_reply(
        x,
        xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, root, int16_t(kBand.x()), int16_t(kBand.y()),
                      uint16_t(kBand.width()), uint16_t(kBand.height()), ~0u),
        nullptr);
    if (!r)
        return {};
    QByteArray pixels(reinterpret_cast<const char*>(xcb_get_image_data(r)),
                      xcb_get_image_data_length(r));
    std::free(r);
    return pixels;
}

// User and system time of the children reaped so far.
double childCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Milliseconds from `startNs` until the band differs from (or, with `same`, equals) `before`.
double until(xcb_connection_t* x, const QByteArray& before, bool same, qint64 startNs)
{
    QElapsedTimer clock;
    clock.start();
    while ((band(x) == before) != same) {
        if (clock.elapsed() > kTimeoutMs)
            return -1;
    }
    return double(monotonicNs() - startNs) / 1e6;
}

// The baseline: one small window painted in a flat colour, then the process waits to be killed.
int childWindow(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    window.setStyleSheet(QStringLiteral("background: #ff3b30"));
    window.setGeometry(300, 18, 360, 44);
    window.show();
    return QApplication::exec();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void print(const char* title, const std::vector<double>& v, double baseline)
{
    std::printf("%-40s %7.2f ms [%.2f..%.2f]", title, median(v),
                *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
    if (baseline > 0)
        std::printf("  ratio to baseline %.2f", median(v) / baseline);
    std::printf("\n");
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 2 && QByteArray(argv[1]) == "--child-window")
        return childWindow(argc, argv);
    int runs = 15;
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    QCoreApplication app(argc, argv);
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "needs an X server (DISPLAY)\n");
        return 1;
    }

    // Private folders: the instance reads no user settings and meets no running copy.
    QTemporaryDir scratch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* folder : {"home", "config", "tmp"}) {
        QDir().mkpath(scratch.filePath(QString::fromLatin1(folder)));
    }
    QDir().mkdir(scratch.filePath(QStringLiteral("run")),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("HOME"), scratch.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("TMPDIR"), scratch.filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), scratch.filePath(QStringLiteral("run")));

    QProcess instance;
    instance.setProcessEnvironment(env);
    instance.start(QStringLiteral(VELLORI_BINARY), {});
    const QString socket = SingleInstance::socketPath(env);
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(socket) && clock.elapsed() < kTimeoutMs)
        QThread::msleep(5);
    // The control window is shown at launch; it is left alone, the pen opens beside it.
    QThread::msleep(1500);

    const auto command = [&](const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(VELLORI_BINARY), arguments);
        return process.waitForFinished(kTimeoutMs) && process.exitCode() == 0;
    };
    std::vector<double> pen, exited, cpu, baseline;
    for (int run = 0; run < runs; ++run) {
        const QByteArray before = band(x);
        QProcess client;
        client.setProcessEnvironment(env);
        const double cpuBefore = childCpuMs();
        qint64 start = monotonicNs();
        client.start(QStringLiteral(VELLORI_BINARY), {QStringLiteral("--pen")});
        pen.push_back(until(x, before, false, start));
        if (!client.waitForFinished(kTimeoutMs) || client.exitCode() != 0 || pen.back() < 0) {
            std::fprintf(stderr, "vellori --pen failed\n");
            return 1;
        }
        exited.push_back(double(monotonicNs() - start) / 1e6);
        cpu.push_back(childCpuMs() - cpuBefore);
        // Closed again, and the screen back as it was, before the baseline runs.
        if (!command({QStringLiteral("--pen")}) || until(x, before, true, monotonicNs()) < 0)
            return 1;

        QProcess window;
        start = monotonicNs();
        window.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child-window")});
        baseline.push_back(until(x, before, false, start));
        window.kill();
        window.waitForFinished();
        if (baseline.back() < 0 || until(x, before, true, monotonicNs()) < 0)
            return 1;
    }

    // Start to exit, or -1 when it failed.
    const auto toExit = [&](const QString& program, const QStringList& arguments) {
        QProcess process;
        process.setProcessEnvironment(env);
        const qint64 start = monotonicNs();
        process.start(program, arguments);
        const bool done = process.waitForFinished(kTimeoutMs) && process.exitCode() == 0;
        return done ? double(monotonicNs() - start) / 1e6 : -1;
    };
    const QString vellori = QStringLiteral(VELLORI_BINARY);
    if (!command({QStringLiteral("--screenshot")}))
        return 1;
    QThread::msleep(1500);
    std::vector<double> request, core, nothing;
    for (int run = 0; run < runs; ++run) {
        request.push_back(toExit(vellori, {QStringLiteral("--screenshot")}));
        core.push_back(toExit(QStringLiteral(CORE_BASELINE_BINARY), {}));
        nothing.push_back(toExit(QStringLiteral("true"), {}));
        if (std::min({request.back(), core.back(), nothing.back()}) < 0) {
            std::fprintf(stderr, "a process failed\n");
            return 1;
        }
    }
    command({QStringLiteral("--quit")});
    instance.waitForFinished(kTimeoutMs);
    xcb_disconnect(x);

    std::printf("%d runs, medians [min..max]; DISPLAY=%s, instance running\n", runs,
                qgetenv("DISPLAY").constData());
    const double base = median(baseline);
    print("vellori --pen, start to toolbar painted", pen, base);
    print("    the same process, start to exit", exited, base);
    print("    its processor time, user and system", cpu, 0);
    print("baseline: minimal Qt window painted", baseline, 0);
    std::printf("aim: vellori --pen under 60 ms: %s\n", median(pen) < 60 ? "met" : "missed");
    const double coreBase = median(core);
    print("vellori --screenshot, start to exit", request, coreBase);
    print("baseline: minimal Qt Core program", core, 0);
    print("baseline: true", nothing, 0);
    std::printf("vellori --screenshot over Qt Core: %.2f ms; Qt Core over true: %.2f ms\n",
                median(request) - coreBase, coreBase - median(nothing));
    return 0;
}
