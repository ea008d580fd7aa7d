// What goes wrong around the program: killed mid-task, told to stop, a monitor gone under a
// selection, a full disk, hours of use, and another user's or a silent program's files where the
// single-instance socket goes. The program runs as a process on the test desktop; the other
// cases run in this process on the offscreen platform.

#include "app/singleinstance.h"
#include "liveapp.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "screenshot/screenshotpaths.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPixmapCache>
#include <QRegularExpression>

#include <csignal>
#include <future>
#include <malloc.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

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

// To another local user, made by the test command; root can hand files to it.
bool giveAway(const QString& path)
{
    const passwd* user = ::getpwnam("vellori-tb");
    return user && ::lchown(QFile::encodeName(path).constData(), user->pw_uid, gid_t(-1)) == 0;
}

// A later start's claim, made from another thread while this one answers.
SingleInstance::Claim claimMeanwhile(const QString& path, InstanceAction action)
{
    auto claim = std::async(std::launch::async, [&] { return SingleInstance(path).claim(action); });
    while (claim.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        QTest::qWait(5);
    return claim.get();
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

    // Killed, the program leaves its socket behind, whatever was open; stopped, it leaves through
    // its orderly path. The keys are free for the next start.
    void stoppedMidTask_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("key");
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
        QVERIFY(pressCovers(key, app, kBoth));
        ::kill(pid_t(app->processId()), signal);
        QVERIFY(signal == SIGKILL ? app->waitForFinished(5000) : exitsWithZero(*app));
        QCOMPARE(QFileInfo::exists(SingleInstance::socketPath(sandbox.environment())),
                 signal == SIGKILL);

        // The next start takes over what was left, keys and socket.
        QProcess* next = sandbox.launch();
        QVERIFY(next);
        QVERIFY(pressCovers("F8", next, kBoth));
        QCOMPARE(sandbox.command({"--pen"}), 0);
        QTRY_VERIFY(covers(next).isEmpty());
    }

    // An alert raised by the first start's own action keeps no later start waiting.
    void alertOfTheFirstAction()
    {
        Sandbox sandbox;
        // A file where the screenshots' folder should be.
        QVERIFY(QDir(sandbox.path("home/Desktop")).removeRecursively() &&
                QFile(sandbox.path("home/Desktop")).open(QIODevice::WriteOnly));
        QProcess& app = sandbox.start({"--screenshot"});
        QTRY_COMPARE_WITH_TIMEOUT(managed(&app).size(), 2, 10000); // the control window, the alert
        QCOMPARE(sandbox.command({"--pen"}), 0);
        QTRY_COMPARE(covers(&app), kBoth);
    }

    void monitorRemovedUnderTheSelection()
    {
        Sandbox sandbox;
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        QVERIFY(pressCovers("F9", app, kBoth));
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
        QCOMPARE(filesUnder(dir.path()), QStringList());
    }

    // The bounds sit well below what one leaked window per opening, or a kept stroke list, adds.
    void longUseDoesNotGrowMemory()
    {
        // Offscreen has no raise or keyboard grab and says so each time; QtTest would count.
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        SettingsStore settings;
        OverlayManager overlay(settings);
        const auto toggle = [&] {
            overlay.show({}, {});
            settle();
            overlay.hide();
            settle();
        };
        // Fusion caches button images per palette, and every opening makes new palettes: the
        // cache is emptied once the pen has closed (here at once). Its key table is only swept
        // on a 30 s timer, too late for this test, so from here on the cache takes nothing.
        overlay.releaseTimer().setInterval(0);
        QVERIFY(QPixmapCache::insert("stale", QPixmap(4, 4)));
        toggle();
        QPixmap stale;
        QVERIFY(!QPixmapCache::find("stale", &stale));
        for (int i = 0; i < 100; ++i)
            toggle();
        std::size_t baseline = heapInUse();
        for (int i = 0; i < 1000; ++i)
            toggle();
        QCOMPARE_LT(qint64(heapInUse() - baseline), 64 * 1024);

        // Clearing keeps the strokes for undo; closing lets them and their history go. A first
        // session as long warms what the painting keeps for good.
        for (int round = 0; round < 2; ++round) {
            overlay.show({}, {});
            settle();
            baseline = heapInUse();
            for (int i = 0; i < 10000; ++i) {
                const QPointF p(20 + i % 1800, 20 + i / 1800 * 100);
                TestSupport::drawStroke(
                    overlay.drawingViews().front(),
                    {p, p + QPointF(10, 5), p + QPointF(20, 10), p + QPointF(40, 20)});
            }
            overlay.clearAll();
            settle();
            QCOMPARE_GT(heapInUse(), baseline + 10000 * sizeof(Stroke));
            toggle();
        }
        overlay.show({}, {});
        settle();
        QCOMPARE_LT(qint64(heapInUse() - baseline), 64 * 1024);
        overlay.hide();
    }

    // XDG_RUNTIME_DIR is used only when it is private; else a private cache folder, never one
    // someone else made. The name is the display's, escaped, or a digest when too long.
    void socketPath_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("wayland");
        QTest::addColumn<QString>("name"); // a pattern, under "run" or "cache/vellori"
        // Cached: open to others, someone else's, a symlink to a private one.
        const auto row = [](const char* tag, const char* runtime, const QString& display,
                            const char* wayland, const char* name) {
            QTest::newRow(tag) << QString(runtime) << display << QString(wayland) << QString(name);
        };
        row("private, screen 0", "private", ":7.0", "", "run/vellori-x11-%3A7");
        row("Wayland first, escaped", "private", ":7", "/a/b_1",
            "run/vellori-wayland-%2Fa%2Fb%5F1");
        row("Wayland by a relative name", "private", ":7", "wayland-1",
            "run/vellori-(wayland-%2F.*%2Frun%2Fwayland-1|[0-9a-f]{32})");
        row("too long", "private", QString(60, ':'), "", "run/vellori-[0-9a-f]{32}");
        row("too long a folder", "deep", ":7", "", "run/x{80}/vellori-[0-9a-f]{32}");
        row("a folder in the way", "blocked", ":7", "", "run/vellori-x11-%3A7");
        for (const char* runtime : {"open", "foreign", "symlink"})
            row(runtime, runtime, ":7", "", "cache/vellori/vellori-x11-%3A7");
    }

    void socketPath()
    {
        // The test command runs as root in CI; elsewhere files cannot be handed to another user.
        if (::geteuid() != 0)
            QSKIP("needs root");
        QFETCH(QString, runtime);
        QFETCH(QString, display);
        QFETCH(QString, wayland);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const QString folder = dir.filePath("run");
        QVERIFY(QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QString given = folder;
        if (runtime == "open")
            QVERIFY(QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ExeOther));
        else if (runtime == "foreign")
            QVERIFY(giveAway(folder));
        else if (runtime == "symlink")
            QVERIFY(QFile::link(folder, given = dir.filePath("link")));
        else if (runtime == "deep")
            QVERIFY(QDir().mkdir(given = folder + '/' + QString(80, 'x'),
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcessEnvironment env;
        amend(env, {"XDG_CACHE_HOME=" + dir.filePath("cache"), "DISPLAY=" + display,
                    "WAYLAND_DISPLAY=" + wayland, "XDG_RUNTIME_DIR=" + given});
        const QString path = SingleInstance::socketPath(env);
        const auto pattern = QRegularExpression::escape(dir.path() + '/') + name;
        QVERIFY2(QRegularExpression("^" + pattern + "$").match(path).hasMatch(), qPrintable(path));
        QCOMPARE(QFile::permissions(QFileInfo(path).path()) & 0x0077, 0);
        if (!wayland.isEmpty() && !wayland.startsWith('/')) { // the same display by its full path
            QProcessEnvironment full = env;
            amend(full, {"WAYLAND_DISPLAY=" + given + '/' + wayland});
            QCOMPARE(SingleInstance::socketPath(full), path);
        }
        // Every path carries requests, however long; what stands in the way is reported.
        SingleInstance first(path);
        QVERIFY(runtime != "blocked" || QDir().mkdir(path));
        const QString failure = first.listen();
        QVERIFY2(failure.startsWith(path) == (runtime == "blocked"), qPrintable(failure));
        QVERIFY(!failure.isEmpty() ||
                claimMeanwhile(path, InstanceAction::Pen) == SingleInstance::Claim::Delivered);
        if (name.startsWith("cache")) {
            QVERIFY(giveAway(QFileInfo(path).path()));
            QCOMPARE(SingleInstance::socketPath(env), QString());
        }
    }

    // Whatever someone else has listening at the socket's name, the first start runs at once and
    // never talks to it. Holding the lock without listening, or listening without answering, is
    // no answer; a request our own copy was too busy to answer in time is dropped, not carried
    // out later.
    void firstStartIgnoresAForeignSocket()
    {
        if (::geteuid() != 0)
            QSKIP("needs root");
        QTemporaryDir dir;
        const QString name = dir.filePath("instance");
        QLocalServer decoy; // moved away before close() can remove it
        QVERIFY(decoy.listen(dir.filePath("decoy")) &&
                QFile::rename(decoy.fullServerName(), name) && giveAway(name));
        SingleInstance first(name);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(first.claim(InstanceAction::Show), SingleInstance::Claim::Primary);
        QCOMPARE_LT(clock.elapsed(), 500);
        QVERIFY(!decoy.waitForNewConnection(0));
        QLocalServer deaf;
        QVERIFY(deaf.listen(dir.filePath("deaf")));
        const QString busyPath = dir.filePath("busy");
        SingleInstance busy(busyPath);
        QCOMPARE(busy.listen(), QString());
        QList<InstanceAction> done;
        busy.onAction = [&](InstanceAction action) { done << action; };
        busy.isBusy = [](InstanceAction action) { return action == InstanceAction::Screenshot; };
        using Claim = SingleInstance::Claim;
        for (const auto& [silent, claim] : {std::pair{name, Claim::NotReady},
                                            {deaf.fullServerName(), Claim::NoAnswer},
                                            {busyPath, Claim::NoAnswer}})
            QCOMPARE(SingleInstance(silent).claim(InstanceAction::Pen, 100, 100), claim);
        QCOMPARE(claimMeanwhile(busyPath, InstanceAction::Screenshot), Claim::Busy);
        QCOMPARE(claimMeanwhile(busyPath, InstanceAction::Settings), Claim::Delivered);
        QTRY_VERIFY(!done.isEmpty() && busy.findChildren<QLocalSocket*>().isEmpty());
        QCOMPARE(done, QList<InstanceAction>{InstanceAction::Settings});
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
