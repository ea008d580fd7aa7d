// The built program on the test desktop, driven only by real keys and mouse from another client
// and judged only by what the screen shows and what lands on disk. Runs a second time without a
// compositor (VELLORI_NO_COMPOSITOR set), where a translucent window that paints nothing shows
// black instead of the screen.

#include "liveapp.h"

#include <QRegularExpression>

using namespace live;

namespace
{

const QRgb kBackground = qRgb(0x33, 0x66, 0xaa);
const QRgb kRed = qRgb(255, 59, 48);
const QRgb kGreen = qRgb(52, 199, 89);

bool compositorRunning()
{
    auto r = reply(xcb_get_selection_owner_reply(
        x(), xcb_get_selection_owner(x(), atom("_NET_WM_CM_S0")), nullptr));
    return r && r->owner != XCB_WINDOW_NONE;
}

// The middle of a stroke drawn along y from x0 to x1 is all of one colour.
bool stroke(const QImage& screen, int y, int x0, int x1, QRgb colour)
{
    for (int xx = x0; xx <= x1; ++xx) {
        if (screen.pixel(xx, y) != colour)
            return false;
    }
    return true;
}

// Grid points where the selection does not show the screen under black at alpha 0.3, and
// points shown black where the screen was not. The hint line at the top is left out, and so is
// all but background and stroke: the control window hides for a screenshot.
int undimmed(const QImage& before, const QImage& dim)
{
    const auto near = [](int shown, int was) { return qAbs(shown - was * 178 / 255) <= 1; };
    int count = 0;
    for (int y = 120; y < 1080; y += 8) {
        for (int xx = 0; xx < 1920; xx += 8) {
            const QRgb was = before.pixel(xx, y), shown = dim.pixel(xx, y);
            count += (was == kBackground || was == kRed) &&
                     !(near(qRed(shown), qRed(was)) && near(qGreen(shown), qGreen(was)) &&
                       near(qBlue(shown), qBlue(was)));
            count += shown == qRgb(0, 0, 0) && was != shown;
        }
    }
    return count;
}

} // namespace

class TestAcceptance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(connected(), "needs the 24-bit X server of the test command");
        QCOMPARE(compositorRunning(), !qEnvironmentVariableIsSet("VELLORI_NO_COMPOSITOR"));
    }

    // A known colour, so black where the screen should show is told from the screen; the
    // pointer away from the toolbar, whose buttons light up under it.
    void init()
    {
        QVERIFY(xdotool("mousemove 1700 900"));
        paintRoot(kBackground);
        QTRY_COMPARE(grab(QRect(1500, 900, 1, 1)).pixel(0, 0), kBackground);
    }

    void cleanupTestCase()
    {
        for (const char* name : {"_XROOTPMAP_ID", "_XSETROOT_ID"})
            xcb_delete_property(x(), root(), atom(name));
        xcb_flush(x());
    }

    void secondLaunchShowsTheFirst()
    {
        Sandbox sandbox;
        QProcess* first = sandbox.launch();
        QVERIFY(first);
        const qint64 pid = first->processId();
        QByteArray title;
        QVERIFY(run("xdotool", {"getwindowname", QString::number(managed(pid).value(0))}, &title));
        QCOMPARE(QString::fromUtf8(title.trimmed()), "Vellori截图与红笔");
        QVERIFY(closeControlWindow(pid));

        QElapsedTimer clock;
        clock.start();
        QProcess& second = sandbox.start();
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE(managed(pid).size(), 1);
        QCOMPARE(first->state(), QProcess::Running);
    }

    void penDrawsErasesClearsAndLeaves()
    {
        Sandbox sandbox;
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        const qint64 pid = app->processId();
        // Its status line would show through the pen.
        QVERIFY(closeControlWindow(pid));
        const QImage before = grab();

        QVERIFY(xdotool("key F8"));
        QTRY_COMPARE(covers(pid), kBoth);
        // The screen shows through everywhere but at the toolbar, centred 18 px from the top of
        // the first monitor.
        QTRY_COMPARE(changed(before, grab(), kR), QRect());
        QRect toolbar;
        QTRY_VERIFY((toolbar = changed(before, grab(), kL)).top() == 18 &&
                    qAbs(toolbar.left() + toolbar.right() + 1 - 960) <= 1);
        const QImage open = grab();

        QVERIFY(drag({{1100, 300}, {1200, 300}, {1300, 300}, {1400, 300}}));
        QImage drawn;
        QTRY_VERIFY(stroke(drawn = grab(), 300, 1100, 1400, kRed));
        QVERIFY(QRect(1094, 294, 313, 13).contains(changed(open, drawn, kL | kR)));

        QVERIFY(xdotool("key e"));
        QVERIFY(drag({{1100, 500}, {1400, 500}}));
        QTRY_VERIFY(stroke(drawn = grab(), 500, 1100, 1400, kGreen));
        const QRect green = changed(open, drawn, QRect(960, 400, 960, 200));
        QVERIFY(QRect(1094, 494, 313, 13).contains(green));

        // The eraser takes a stroke near where it began (its points are the events Qt kept), and
        // only that one: the screen shows again.
        QVERIFY(xdotool("key z"));
        QVERIFY(drag({{1100, 290}, {1100, 310}}));
        QTRY_COMPARE(changed(open, grab(), kL | kR), green);

        QVERIFY(xdotool("key c"));
        QTRY_COMPARE(changed(open, grab(), kL | kR), QRect());

        QVERIFY(xdotool("key Escape"));
        QTRY_VERIFY(covers(pid).isEmpty());
        QTRY_COMPARE(changed(before, grab(), kL | kR), QRect());

        QVERIFY(xdotool("key F8"));
        QTRY_COMPARE(covers(pid), kBoth);
        QVERIFY(xdotool("key F8"));
        QTRY_VERIFY(covers(pid).isEmpty());
        QCOMPARE(app->state(), QProcess::Running);
    }

    // Cancelling first must write nothing and leave the next screenshot working.
    void screenshotOfTheScreen_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QString>("cancel");
        QTest::newRow("saved") << QStringList() << QString();
        QTest::newRow("saved, R at scale 2")
            << QStringList{"QT_SCREEN_SCALE_FACTORS=L=1;R=2"} << QString();
        QTest::newRow("Escape first") << QStringList() << "key Escape";
        QTest::newRow("right click first") << QStringList() << "mousemove 1700 800 click 3";
    }

    void screenshotOfTheScreen()
    {
        QFETCH(QStringList, environment);
        QFETCH(QString, cancel);
        Sandbox sandbox(environment);
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        const qint64 pid = app->processId();
        // Known content under the selection: a pen stroke, the pen left open.
        QVERIFY(xdotool("key F8"));
        QTRY_COMPARE(covers(pid), kBoth);
        QVERIFY(drag({{1100, 300}, {1300, 300}, {1500, 300}}));
        QImage before;
        QTRY_VERIFY(stroke(before = grab(), 300, 1100, 1500, kRed));

        const QDateTime pressed = QDateTime::currentDateTime().addSecs(-1);
        const QDir day(sandbox.screenshotRoot() + "/" + pressed.toString("yyyy-MM-dd"));
        for (const QString& finish : cancel.isEmpty() ? QStringList{""} : QStringList{cancel, ""}) {
            QVERIFY(xdotool("key F9"));
            QTRY_COMPARE(covers(pid).size(), 4);
            QTRY_COMPARE(undimmed(before, grab()), 0);
            if (!finish.isEmpty()) {
                QVERIFY(xdotool(finish));
                QTRY_COMPARE(covers(pid), kBoth);
                QVERIFY(day.exists());
                QCOMPARE(filesUnder(day.path()), QStringList());
            }
        }
        const QRect area(1150, 260, 200, 80);
        QVERIFY(drag({area.topLeft(), area.center(), area.bottomRight() + QPoint(1, 1)}));
        QTRY_COMPARE(covers(pid), kBoth);
        QStringList files;
        QTRY_VERIFY((files = filesUnder(sandbox.screenshotRoot())).size() == 1 &&
                    !QFileInfo(files[0]).fileName().startsWith('.'));
        QCOMPARE(QFileInfo(files[0]).absolutePath(), day.absolutePath());
        const auto name =
            QRegularExpression("^截图_(.{19})\\.png$").match(QFileInfo(files[0]).fileName());
        QVERIFY2(name.hasMatch(), qPrintable(files[0]));
        const QDateTime taken = QDateTime::fromString(name.captured(1), "yyyy-MM-dd_HH-mm-ss");
        QVERIFY(taken >= pressed && taken <= QDateTime::currentDateTime());
        // At R's native density: at scale 2 the drag was 100x40 points.
        const QImage shot(files[0]);
        QCOMPARE(shot.size(), area.size());
        QCOMPARE(shot.convertToFormat(QImage::Format_RGB32), before.copy(area));
        QCOMPARE(app->state(), QProcess::Running);
    }

    // An integer key holding text reads as 0, which picks F9; every other unusable value falls
    // back. A hot key another client holds leaves the other one working.
    void startsWhateverItFinds_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("penKey");
        QTest::addColumn<QString>("otherKey");
        QTest::newRow("garbage values") << "garbage"
                                        << "F5"
                                        << "F8";
        QTest::newRow("settings path is a folder") << "folder"
                                                   << "F8"
                                                   << "F5";
        QTest::newRow("another client holds F9") << "F9 held"
                                                 << "F8"
                                                 << "F5";
    }

    void startsWhateverItFinds()
    {
        QFETCH(QString, setup);
        QFETCH(QString, penKey);
        QFETCH(QString, otherKey);
        Sandbox sandbox;
        QFile settings(sandbox.settingsFile());
        if (setup == "garbage") {
            QVERIFY(settings.open(QIODevice::WriteOnly));
            settings.write("[General]\nmarkerFunctionKey=5\nscreenshotFunctionKey=zz\nredKey=\n"
                           "blueKey=@ByteArray(\\0)\ngreenKey=@Rect(1 2 3 4)\neraserKey=12345\n"
                           "clearKey=@Variant(\\0\\0)\nredColor=@ByteArray(xyz)\nblueColor=abc\n"
                           "greenColor=@Point(1 2)\nlineWidth=abc\n");
            settings.close();
        } else if (setup == "folder") {
            QVERIFY(QDir().mkpath(settings.fileName()));
        } else {
            for (int locks : {0, 2, 16, 18}) // none, CapsLock, NumLock, both
                QVERIFY(grabKey(XK_F9, uint16_t(locks)));
        }
        const auto release = qScopeGuard([] { ungrabKey(XK_F9); });
        QProcess* app = sandbox.launch();
        QVERIFY(app);
        const qint64 pid = app->processId();

        // Were the other key a pen key too, the pen would open and close here, or not close below.
        QVERIFY(xdotool("key " + otherKey + " key " + penKey));
        QTRY_COMPARE(covers(pid), kBoth);
        QVERIFY(drag({{1100, 300}, {1400, 300}}));
        QTRY_VERIFY(stroke(grab(), 300, 1100, 1400, kRed));
        QVERIFY(xdotool("key " + penKey));
        QTRY_VERIFY(covers(pid).isEmpty());
        QCOMPARE(app->state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestAcceptance)
#include "tst_acceptance.moc"
