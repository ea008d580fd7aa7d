// Start-up time, idle memory and overlay opening time of Vellori, each next to a minimal Qt
// Widgets program measured the same way in the same run. Every figure comes from a fresh child
// process (this program re-run with --child), so nothing is warm from an earlier measurement.
//
// Launch time: the parent reads the monotonic clock just before starting the child; the child
// reads the same clock once its window has been painted and the X server has processed the
// picture, and prints it. The difference covers fork, exec, loading the libraries and
// everything up to the painted window.

#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/controlwindow.h"
#include "app/singleinstance.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace
{

constexpr int kTimeoutMs = 10000;

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    }
    return -1;
}

// Waits until the X server has handled every request sent so far, painted pictures included.
void syncWithServer()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11)
        return;
    xcb_connection_t* c = x11->connection();
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// Remembers which top-level windows have had a paint event anywhere inside them. Installed on
// the application before anything is shown, so paints during show() are not missed.
class PaintLog : public QObject
{
public:
    void clear() { m_painted.clear(); }

    // Runs the event loop until every window is shown and painted and the X server has the
    // result. False on time-out.
    bool waitFor(const QList<QWidget*>& windows)
    {
        QTimer tick;
        tick.start(5);
        QElapsedTimer clock;
        clock.start();
        const auto done = [&] {
            return std::all_of(windows.begin(), windows.end(), [this](QWidget* w) {
                return w->isVisible() && m_painted.contains(w);
            });
        };
        while (!done()) {
            if (clock.elapsed() > kTimeoutMs)
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        syncWithServer();
        return true;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType())
            m_painted.insert(static_cast<QWidget*>(watched)->window());
        return false;
    }

private:
    QSet<QWidget*> m_painted;
};

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void report(const char* key, double value)
{
    std::printf("%s %.3f\n", key, value);
    std::fflush(stdout);
}

double msSince(qint64 startNs)
{
    return double(monotonicNs() - startNs) / 1e6;
}

// The program as main.cpp starts it.
int childVellori(int argc, char* argv[])
{
    QApplication app(argc, argv);
    PaintLog paints;
    app.installEventFilter(&paints);
    setUpApplication();
    SingleInstance instance(SingleInstance::defaultPath());
    if (instance.claim(InstanceAction::Show) != SingleInstance::Claim::Primary)
        return 2;
    instance.listen();
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    if (!paints.waitFor({delegate.controlWindow()}))
        return 3;
    report("launched_ns", double(monotonicNs()));
    report("screens", double(QGuiApplication::screens().size()));

    idle(1000);
    report("rss_kb", double(residentKb()));

    for (const char* key : {"overlay_ms", "overlay_again_ms"}) {
        paints.clear();
        const qint64 start = monotonicNs();
        delegate.toggleMarker();
        QList<QWidget*> windows;
        for (OverlayWindow* w : delegate.overlayManager().windows())
            windows << w;
        if (windows.size() != QGuiApplication::screens().size() || !paints.waitFor(windows))
            return 4;
        report(key, msSince(start));
        delegate.toggleMarker();
        idle(200);
    }
    return 0;
}

// The smallest comparable program: one 480x390 window with a label.
int childBaseline(int argc, char* argv[])
{
    QApplication app(argc, argv);
    PaintLog paints;
    app.installEventFilter(&paints);
    QWidget window;
    window.resize(480, 390);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Vellori截图与红笔")));
    window.show();
    if (!paints.waitFor({&window}))
        return 3;
    report("launched_ns", double(monotonicNs()));

    idle(1000);
    report("rss_kb", double(residentKb()));

    for (const char* key : {"overlay_ms", "overlay_again_ms"}) {
        paints.clear();
        const qint64 start = monotonicNs();
        std::vector<std::unique_ptr<QWidget>> plain;
        QList<QWidget*> windows;
        for (int x : {0, 960}) {
            plain.push_back(std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint));
            plain.back()->setGeometry(x, 0, 960, 1080);
            plain.back()->show();
            windows << plain.back().get();
        }
        if (!paints.waitFor(windows))
            return 4;
        report(key, msSince(start));
        plain.clear();
        idle(200);
    }
    return 0;
}

using Figures = std::map<QString, double>;

// One fresh child; its figures, with launch_ms worked out from the parent's start time.
bool runChild(const QString& kind, const QProcessEnvironment& env, Figures& figures)
{
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 startNs = monotonicNs();
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), kind});
    if (!child.waitForFinished(3 * kTimeoutMs) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0) {
        std::fprintf(stderr, "%s child failed: exit %d\n", qPrintable(kind), child.exitCode());
        return false;
    }
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.trimmed().split(' ');
        if (parts.size() == 2)
            figures[QString::fromLatin1(parts[0])] = parts[1].toDouble();
    }
    if (!figures.count(QStringLiteral("launched_ns")))
        return false;
    figures[QStringLiteral("launch_ms")] =
        (figures[QStringLiteral("launched_ns")] - double(startNs)) / 1e6;
    return true;
}

// The built program itself, seen from outside: its resident memory a second after its
// single-instance socket appears, which happens just before its window is built.
bool runBinary(const QProcessEnvironment& env, const QString& socket, Figures& figures)
{
    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QStringLiteral(VELLORI_BINARY), {});
    if (!program.waitForStarted())
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(socket) && clock.elapsed() < kTimeoutMs)
        QThread::msleep(5);
    QThread::msleep(1100);
    QFile status(QStringLiteral("/proc/%1/status").arg(program.processId()));
    bool found = false;
    if (program.state() == QProcess::Running && status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                figures[QStringLiteral("rss_kb")] =
                    line.mid(6).trimmed().split(' ').front().toDouble();
                found = true;
            }
        }
    }
    program.kill();
    program.waitForFinished();
    QFile::remove(socket);
    return found;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int parent(int argc, char* argv[])
{
    int runs = 7;
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    QCoreApplication app(argc, argv);

    // A private home and temp directory: the children neither read the user's settings nor
    // meet a running copy of the program.
    QTemporaryDir scratch;
    const QString home = scratch.filePath(QStringLiteral("home"));
    const QString tmp = scratch.filePath(QStringLiteral("tmp"));
    const QString runtime = scratch.filePath(QStringLiteral("run"));
    QDir().mkpath(home);
    QDir().mkpath(tmp);
    QDir().mkdir(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.remove(QStringLiteral("XDG_CONFIG_HOME"));

    std::map<QString, std::map<QString, std::vector<double>>> samples;
    for (int run = 0; run < runs; ++run) {
        // Alternating, so a slow spell of the machine hits both programs alike.
        for (const QString& kind : {QStringLiteral("baseline"), QStringLiteral("vellori")}) {
            Figures figures;
            if (!runChild(kind, env, figures))
                return 1;
            for (const auto& [key, value] : figures)
                samples[kind][key].push_back(value);
        }
        Figures figures;
        const QString socket = SingleInstance::socketPath(env);
        if (!runBinary(env, socket, figures)) {
            std::fprintf(stderr, "%s did not run\n", VELLORI_BINARY);
            return 1;
        }
        samples["binary"]["rss_kb"].push_back(figures[QStringLiteral("rss_kb")]);
    }

    std::printf("%d runs of each program, medians [min..max]; DISPLAY=%s QT_QPA_PLATFORM=%s, "
                "%lld screens\n",
                runs, qgetenv("DISPLAY").constData(), qgetenv("QT_QPA_PLATFORM").constData(),
                static_cast<long long>(samples["vellori"]["screens"].empty()
                                           ? 0
                                           : samples["vellori"]["screens"].front()));
    std::printf("(a) runs from the parent's monotonic clock just before QProcess::start to the "
                "child's, after its window's paint reached the X server\n");
    struct Row {
        const char* key;
        const char* title;
        const char* unit;
        double scale;
        double aim;
        const char* program = "vellori";
    };
    const Row rows[] = {
        {"launch_ms", "(a) start to painted window", "ms", 1, 300},
        // VmRSS counts KiB; the aim is read once as MB and once as MiB.
        {"rss_kb", "(b) resident memory, idle", "MB", 1024 / 1e6, 40},
        {"rss_kb", "    the same in MiB", "MiB", 1.0 / 1024, 40},
        {"rss_kb", "    vellori binary from outside", "MiB", 1.0 / 1024, 40, "binary"},
        {"overlay_ms", "(c) overlay shown and painted", "ms", 1, 50},
        {"overlay_again_ms", "    the same, second opening", "ms", 1, 50},
    };
    for (const Row& row : rows) {
        const auto& v = samples[row.program][row.key];
        const auto& b = samples["baseline"][row.key];
        const double vm = median(v) * row.scale;
        const double bm = median(b) * row.scale;
        std::printf("%-32s %-7s %7.2f %s [%.2f..%.2f]  baseline %7.2f %s [%.2f..%.2f]  "
                    "ratio %.2f  aim < %.0f %s: %s\n",
                    row.title, row.program, vm, row.unit,
                    *std::min_element(v.begin(), v.end()) * row.scale,
                    *std::max_element(v.begin(), v.end()) * row.scale, bm, row.unit,
                    *std::min_element(b.begin(), b.end()) * row.scale,
                    *std::max_element(b.begin(), b.end()) * row.scale, vm / bm, row.aim, row.unit,
                    vm < row.aim ? "met" : "missed");
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc >= 3 && QByteArray(argv[1]) == "--child") {
        const QByteArray kind = argv[2];
        if (kind == "vellori")
            return childVellori(argc, argv);
        if (kind == "baseline")
            return childBaseline(argc, argv);
        return 1;
    }
    return parent(argc, argv);
}
