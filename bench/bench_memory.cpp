// Resident memory of the real program over long use: AppDelegate as main.cpp starts it, on the
// X server in DISPLAY, opens the pen 1,000 times with one stroke each and closes it again. Every
// figure is VmRSS from /proc, set against the idle figure of the same run; the aim is to stay
// within 5 MB of it. Run with --openings N for a shorter or longer run.

#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{

constexpr int kTimeoutMs = 10000;

double residentMB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toDouble() * 1024 / 1e6;
    }
    return -1;
}

// Runs the event loop for a while, deferred deletions and timers included.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool waitUntilExposed(const std::vector<OverlayWindow*>& windows)
{
    QElapsedTimer clock;
    clock.start();
    const auto exposed = [&] {
        for (OverlayWindow* w : windows) {
            if (!w->windowHandle() || !w->windowHandle()->isExposed())
                return false;
        }
        return true;
    };
    while (!exposed()) {
        if (clock.elapsed() > kTimeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    QCoreApplication::processEvents();
    return true;
}

void send(QWidget* w, QEvent::Type type, QPointF p, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void stroke(QWidget* w, int i)
{
    const QPointF p(100 + i % 500, 200 + i % 300);
    send(w, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
    for (int step = 1; step <= 10; ++step)
        send(w, QEvent::MouseMove, p + QPointF(step * 12, step * 7), Qt::NoButton, Qt::LeftButton);
    send(w, QEvent::MouseButtonRelease, p + QPointF(120, 70), Qt::LeftButton, Qt::NoButton);
}

} // namespace

int main(int argc, char* argv[])
{
    int openings = 1000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (QByteArray(argv[i]) == "--openings")
            openings = std::max(1, std::atoi(argv[i + 1]));
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Private settings and desktop: the run neither reads nor writes the user's.
    QTemporaryDir scratch;
    qputenv("HOME", scratch.path().toUtf8());
    qunsetenv("XDG_CONFIG_HOME");

    QApplication app(argc, argv);
    setUpApplication();
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    idle(1500);
    const double idleMB = residentMB();
    std::printf("resident memory over %d pen openings with one stroke each, DISPLAY=%s\n", openings,
                qgetenv("DISPLAY").constData());
    std::printf("%-24s %8.1f MB\n", "idle after start", idleMB);

    QElapsedTimer clock;
    clock.start();
    double lastMB = idleMB;
    for (int i = 1; i <= openings; ++i) {
        delegate.toggleMarker();
        OverlayManager& overlay = delegate.overlayManager();
        if (!waitUntilExposed(overlay.windows())) {
            std::fprintf(stderr, "the pen did not appear at opening %d\n", i);
            return 1;
        }
        stroke(overlay.drawingViews().front(), i);
        QCoreApplication::processEvents();
        delegate.toggleMarker();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (i == 100 || i == 400 || i == openings) {
            // Whatever the program does once the pen has been closed for a moment.
            idle(1500);
            lastMB = residentMB();
            std::printf("after %4d openings %10.1f MB  growth %+6.1f MB  ratio to idle %.3f\n", i,
                        lastMB, lastMB - idleMB, lastMB / idleMB);
        }
    }
    std::printf("%.1f s; aim: within 5 MB of idle: %s\n", double(clock.elapsed()) / 1000,
                lastMB - idleMB <= 5 ? "met" : "missed");
    return 0;
}
