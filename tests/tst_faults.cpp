// What goes wrong around the program: killed mid-task, told to stop, a monitor gone under a
// selection, a full disk, and hours of use. The program runs as a process on the test desktop;
// the disk and memory cases run in this process on the offscreen platform.

#include "liveapp.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "screenshot/screenshotpaths.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPixmapCache>
#include <QStandardPaths>

#include <csignal>
#include <malloc.h>
#include <sys/resource.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLORI_ASAN
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELLORI_ASAN
#endif

using namespace live;

namespace
{

#ifdef VELLORI_ASAN
// The sanitizer's allocator stands in for malloc's and keeps its own count.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
std::size_t heapInUse()
{
    return __sanitizer_get_current_allocated_bytes();
}
#else
std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void send(QWidget* w, QEvent::Type type, QPointF p, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void stroke(QWidget* w, int i)
{
    const QPointF p(20 + i % 1800, 20 + i / 1800 * 100);
    send(w, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
    for (int step = 1; step <= 4; ++step)
        send(w, QEvent::MouseMove, p + QPointF(step * 10, step * 5), Qt::NoButton, Qt::LeftButton);
    send(w, QEvent::MouseButtonRelease, p + QPointF(40, 20), Qt::LeftButton, Qt::NoButton);
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(connected(), "needs the X server of the test command");
        QStandardPaths::setTestModeEnabled(true);
    }

    // Killed, the program leaves its socket behind; stopped, it leaves through its orderly path.
    void stoppedMidTask_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("key");
        QTest::newRow("killed, pen open") << int(SIGKILL) << "F8";
        QTest::newRow("killed, selection open") << int(SIGKILL) << "F9";
        QTest::newRow("terminated, idle") << int(SIGTERM) << QString();
        QTest::newRow("terminated, pen open") << int(SIGTERM) << "F8";
        QTest::newRow("terminated, selection open") << int(SIGTERM) << "F9";
    }

    void stoppedMidTask()
    {
        QFETCH(int, signal);
        QFETCH(QString, key);
        Sandbox sandbox;
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        if (!key.isEmpty()) {
            QVERIFY(xdotool("key " + key));
            QTRY_COMPARE(covers(app->processId()), kBoth);
        }
        ::kill(pid_t(app->processId()), signal);
        QVERIFY(app->waitForFinished(5000));
        if (signal == SIGTERM) {
            QCOMPARE(app->exitStatus(), QProcess::NormalExit);
            QCOMPARE(app->exitCode(), 0);
        }
        QCOMPARE(QFileInfo::exists(sandbox.socketFile()), signal == SIGKILL);
        QVERIFY(grabKey(XK_F8) && grabKey(XK_F9));
        ungrabKey(XK_F8);
        ungrabKey(XK_F9);

        QProcess* next = sandbox.launch();
        QVERIFY(next);
        QVERIFY(xdotool("key F8"));
        QTRY_COMPARE(covers(next->processId()), kBoth);
    }

    void monitorRemovedUnderTheSelection()
    {
        Sandbox sandbox;
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        const qint64 pid = app->processId();
        QVERIFY(xdotool("key F9"));
        QTRY_COMPARE(covers(pid), kBoth);
        QVERIFY(xdotool("mousemove 1100 300 mousedown 1 mousemove 1200 400"));
        const auto restore = qScopeGuard([] {
            run("xrandr", {"--setmonitor", "R", "960/254x1080/286+960+0", "none"});
        });
        QVERIFY(run("xrandr", {"--delmonitor", "R"}));
        QVERIFY(xdotool("mouseup 1"));
        // The control window hides for a screenshot, so the one window shown is the alert.
        QTRY_COMPARE(managed(pid).size(), 1);
        QCOMPARE(filesUnder(sandbox.screenshotRoot()), QStringList());
        QVERIFY(xdotool("key Return"));
        QTRY_VERIFY(managed(pid).isEmpty());
        QCOMPARE(app->state(), QProcess::Running);
    }

    void fullDiskLeavesNoFile_data()
    {
        QTest::addColumn<int>("room");
        QTest::newRow("nothing fits") << 0;
        QTest::newRow("part fits") << 40000;
    }

    void fullDiskLeavesNoFile()
    {
        QFETCH(int, room);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray png(100000, 'p');
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit low{rlim_t(room), old.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &low), 0);
        QString error;
        const QString written = ScreenshotPaths::writeNewFile(dir.filePath("截图.png"), png, error);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);
        QCOMPARE(written, QString());
        QVERIFY(!error.isEmpty());
        QCOMPARE(
            QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList());
    }

    // The bounds sit well below what one leaked window per opening, or a kept stroke list, adds.
    void longUseDoesNotGrowMemory()
    {
        // Offscreen has no raise or keyboard grab and says so each time; QtTest would count.
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        // Fusion caches button images per palette, and every opening makes new palettes; the
        // cache's own limit bounds that, and its key table is swept on a 30 s timer.
        QPixmapCache::setCacheLimit(0);
        SettingsStore settings;
        OverlayManager overlay(settings);
        const auto toggle = [&] {
            overlay.show({}, {});
            settle();
            overlay.hide();
            settle();
        };
        for (int i = 0; i < 100; ++i)
            toggle();
        std::size_t baseline = heapInUse();
        for (int i = 0; i < 1000; ++i)
            toggle();
        QVERIFY2(heapInUse() < baseline + 64 * 1024,
                 qPrintable(QString("%1 bytes more").arg(qint64(heapInUse() - baseline))));

        overlay.show({}, {});
        DrawingView* canvas = overlay.drawingViews().front();
        for (int i = 0; i < 100; ++i)
            stroke(canvas, i);
        overlay.clearAll();
        settle();
        baseline = heapInUse();
        for (int i = 0; i < 10000; ++i)
            stroke(canvas, i);
        settle();
        QVERIFY(heapInUse() > baseline + 10000 * sizeof(Stroke));
        overlay.clearAll();
        settle();
        QVERIFY2(heapInUse() < baseline + 64 * 1024,
                 qPrintable(QString("%1 bytes more").arg(qint64(heapInUse() - baseline))));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
