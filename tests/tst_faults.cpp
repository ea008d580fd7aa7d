// What goes wrong around the program: killed mid-task, told to stop, a monitor gone under a
// selection, a full disk, and hours of use. The program runs as a process on the test desktop;
// the disk and memory cases run in this process on the offscreen platform.

#include "app/singleinstance.h"
#include "liveapp.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "screenshot/screenshotpaths.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QPixmapCache>

#include <csignal>
#include <malloc.h>
#include <sys/resource.h>

using namespace live;

// Defined when the sanitizer's allocator stands in for malloc's and keeps its own count.
extern "C" [[gnu::weak]] std::size_t __sanitizer_get_current_allocated_bytes();

namespace
{

std::size_t heapInUse()
{
    if (__sanitizer_get_current_allocated_bytes)
        return __sanitizer_get_current_allocated_bytes();
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void stroke(QWidget* w, int i)
{
    const QPointF p(20 + i % 1800, 20 + i / 1800 * 100);
    TestSupport::drawStroke(w, {p, p + QPointF(10, 5), p + QPointF(20, 10), p + QPointF(40, 20)});
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!xcb_connection_has_error(x()), "needs the X server of the test command");
        QStandardPaths::setTestModeEnabled(true);
    }

    // Killed, the program leaves its socket behind; stopped, it leaves through its orderly path.
    void stoppedMidTask_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("key");
        QTest::newRow("killed, pen open") << int(SIGKILL) << "F8";
        QTest::newRow("killed, selection open") << int(SIGKILL) << "F9";
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
            QTRY_COMPARE(covers(app), kBoth);
        }
        ::kill(pid_t(app->processId()), signal);
        QVERIFY(signal == SIGKILL ? app->waitForFinished(5000) : exitsWithZero(*app));
        QCOMPARE(QFileInfo::exists(SingleInstance::socketPath(sandbox.environment())),
                 signal == SIGKILL);
        QVERIFY(grabKey(keycode(XK_F8)) && grabKey(keycode(XK_F9)));
        ungrabKey(keycode(XK_F8));
        ungrabKey(keycode(XK_F9));

        QProcess* next = sandbox.launch();
        QVERIFY(next);
        QVERIFY(xdotool("key F8"));
        QTRY_COMPARE(covers(next), kBoth);
    }

    void monitorRemovedUnderTheSelection()
    {
        Sandbox sandbox;
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        QVERIFY(xdotool("key F9"));
        QTRY_COMPARE(covers(app), kBoth);
        QVERIFY(xdotool("mousemove 1100 300 mousedown 1 mousemove 1200 400"));
        const auto restore = qScopeGuard([] {
            run("xrandr", {"--setmonitor", "R", "960/254x1080/286+960+0", "none"});
        });
        QVERIFY(run("xrandr", {"--delmonitor", "R"}));
        QVERIFY(xdotool("mouseup 1"));
        // The control window hides for a screenshot, so the one window shown is the alert.
        QTRY_COMPARE(managed(app).size(), 1);
        QCOMPARE(filesUnder(sandbox.screenshotRoot()), QStringList());
        QVERIFY(xdotool("key Return"));
        QTRY_VERIFY(managed(app).isEmpty());
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
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit low{rlim_t(room), old.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &low), 0);
        QString error;
        const QString written =
            ScreenshotPaths::writeNewFile(dir.filePath("截图.png"), QByteArray(100000, 'p'), error);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);
        QVERIFY(written.isEmpty() && !error.isEmpty());
        QVERIFY(
            QDir(dir.path())
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
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
        QCOMPARE_LT(qint64(heapInUse() - baseline), 64 * 1024);

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
        QCOMPARE_GT(heapInUse(), baseline + 10000 * sizeof(Stroke));
        overlay.clearAll();
        settle();
        QCOMPARE_LT(qint64(heapInUse() - baseline), 64 * 1024);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
