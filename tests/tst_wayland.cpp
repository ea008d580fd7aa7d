// The built program in a Wayland session, driven only from outside: its command line and wtype,
// judged by sway's window tree and the files it writes.

#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"
#include "waylandsupport.h"

using namespace WaylandSupport;

class TestWayland : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(pointer().isValid(), "needs the Wayland desktop of the test command");
    }

    // Started the way a user's session starts it: no platform chosen, on GNOME, where Qt left to
    // itself would pick XWayland. The selection covers each output with a fullscreen window of
    // its own; Escape closes it and writes nothing.
    void selectionOverBothOutputs()
    {
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP=GNOME"});
        QProcess& app = sandbox.start({}, desktopEnvironment());
        QTRY_VERIFY_WITH_TIMEOUT(!windowsOf(app.processId()).isEmpty(), 10000);
        QVERIFY(pointer().moveTo({1900, 700}));
        QCOMPARE(sandbox.command({"--screenshot"}, desktopEnvironment()), 0);
        QTRY_COMPARE(covers(app.processId()), (QList<QRect>{kOne, kTwo}));
        QVERIFY(keys({"Escape"}));
        QTRY_COMPARE(covers(app.processId()), QList<QRect>());
        QTest::qWait(500);
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()), QStringList());
        QCOMPARE(app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestWayland)
#include "tst_wayland.moc"
