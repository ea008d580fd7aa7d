// The built program in a Wayland session, driven only from outside: its command line, wtype and
// a virtual pointer, and judged by sway's window tree, the accessibility bus and the files it
// writes.

#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"
#include "waylandsupport.h"

#include <QApplication>
#include <QPainter>
#include <QWidget>

using namespace WaylandSupport;

namespace
{

// Tells a program on a bus of its own where the desktop's accessibility bus is.
class AccessibilityBusAddress : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.a11y.Bus")

public slots:
    QString GetAddress() { return accessibilityBus(); }
};

} // namespace

class TestWayland : public QObject
{
    Q_OBJECT

    AccessibilityBusAddress m_accessibility;

    // Started the way a user's session starts it: no platform chosen, on GNOME, where Qt left
    // to itself would pick XWayland. Its control window is closed again.
    QProcess* launch(live::Sandbox& sandbox, const QStringList& environment = desktopEnvironment())
    {
        QProcess& app = sandbox.start({}, environment);
        if (!QTest::qWaitFor([&] { return !windowsOf(app.processId()).isEmpty(); }, 10000))
            return nullptr;
        return run("swaymsg", {QString("[pid=%1] kill").arg(app.processId())}) &&
                       QTest::qWaitFor([&] { return windowsOf(app.processId()).isEmpty(); })
                   ? &app
                   : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(pointer().isValid(), "needs the Wayland desktop of the test command");
        QVERIFY(pointer().moveTo(kRest));
    }

    // This desktop's portal offers no global keys: the control window says so, as a screen
    // reader reads it, and names no keys; the command line opens the pen.
    void pen()
    {
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QTRY_COMPARE(
            accessibleNames(app->processId()).filter("此桌面不向程序提供全局快捷键").size(), 1);
        QVERIFY(accessibleNames(app->processId()).filter(QRegularExpression("F[89]")).isEmpty());
        QCOMPARE(sandbox.command({"--pen"}, desktopEnvironment()), 0);
        QTRY_COMPARE(covers(app->processId()), (QList<QRect>{kOne, kTwo}));
        QVERIFY(keys({"Escape"}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
    }

    // The selection covers each output with a window of its own. A drag on the scale-2 output
    // saves its native pixels, also on the clipboard; Escape and a right click write nothing.
    void screenshot_data()
    {
        QTest::addColumn<QString>("finish");
        QTest::newRow("saved at scale 2") << "drag";
        QTest::newRow("Escape") << "Escape";
        QTest::newRow("right click") << "right";
    }

    void screenshot()
    {
        QFETCH(QString, finish);
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP=GNOME"});
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QCOMPARE(sandbox.command({"--screenshot"}, desktopEnvironment()), 0);
        QTRY_COMPARE_WITH_TIMEOUT(covers(app->processId()), (QList<QRect>{kOne, kTwo}), 15000);
        // Again until it lands: sway sends input to where the windows were until they are drawn.
        QTRY_VERIFY_WITH_TIMEOUT((finish == "drag" ? drag({{1400, 100}, {1450, 125}, {1500, 150}})
                                  : finish == "right" ? pointer().moveTo({1500, 200}) &&
                                                            pointer().button(BTN_RIGHT, true) &&
                                                            pointer().button(BTN_RIGHT, false) &&
                                                            pointer().moveTo(kRest)
                                                      : keys({"Escape"})) &&
                                     covers(app->processId()).isEmpty(),
                                 15000);
        QTest::qWait(500);
        const QStringList files = live::filesUnder(sandbox.screenshotRoot());
        QCOMPARE(files.size(), finish == "drag" ? 1 : 0);
        QCOMPARE(app->state(), QProcess::Running);
        if (files.isEmpty())
            return;
        const QImage saved = QImage(files[0]).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(saved.size(), QSize(200, 100));
        QByteArray pasted;
        QVERIFY(run("wl-paste", {"-t", "image/png"}, &pasted));
        QCOMPARE(QImage::fromData(pasted).convertToFormat(QImage::Format_RGB32), saved);
    }

    // Nothing but the alert, with its reason: no selection, no file. This portal never consults
    // the permission store for a program outside a sandbox; it refuses (response 2) when it
    // cannot write its file. Without a portal the bus still runs.
    void refusedOrMissingPortal_data()
    {
        QTest::addColumn<bool>("portal");
        QTest::addColumn<QStringList>("alert");
        QTest::newRow("refused") << true << QStringList{"需要重新确认屏幕录制权限"};
        QTest::newRow("no portal")
            << false << QStringList{"截图失败", "此桌面环境没有提供截图服务。"};
    }

    void refusedOrMissingPortal()
    {
        QFETCH(bool, portal);
        QFETCH(QStringList, alert);
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
        QStringList environment = desktopEnvironment();
        QFile portalFile("/tmp/out.png");
        QProcess bus;
        if (portal) {
            QVERIFY(portalFile.open(QIODevice::WriteOnly));
            QVERIFY(portalFile.setPermissions(QFile::ReadOwner));
        } else {
            QFile config(sandbox.path("bus.conf"));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write(
                "<busconfig><type>session</type><listen>unix:dir=" + sandbox.path("run").toUtf8() +
                "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                "<allow own=\"*\"/></policy></busconfig>");
            config.close();
            bus.start("dbus-daemon",
                      {"--config-file=" + config.fileName(), "--nofork", "--print-address"});
            QVERIFY(bus.waitForReadyRead(5000));
            const QString address = bus.readLine().trimmed();
            environment << "DBUS_SESSION_BUS_ADDRESS=" + address;
            QDBusConnection privateBus = QDBusConnection::connectToBus(address, "private");
            QVERIFY(privateBus.registerService("org.a11y.Bus") &&
                    privateBus.registerObject("/org/a11y/bus", &m_accessibility,
                                              QDBusConnection::ExportAllSlots));
        }
        const auto restore = qScopeGuard([&] {
            if (portal)
                portalFile.remove();
            QDBusConnection::disconnectFromBus("private");
            bus.kill();
            bus.waitForFinished();
        });
        QProcess* app = launch(sandbox, environment);
        QVERIFY(app);
        QCOMPARE(sandbox.command({"--screenshot"}, environment), 0);
        QTRY_COMPARE_WITH_TIMEOUT(accessibleNames(app->processId())
                                      .filter(QRegularExpression("^(" + alert.join('|') + ")$"))
                                      .size(),
                                  alert.size(), 3000);
        QTest::qWait(500);
        QCOMPARE(windowsOf(app->processId()).size(), 1);
        QCOMPARE(covers(app->processId()), QList<QRect>());
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()), QStringList());
    }
};

QTEST_MAIN(TestWayland)
#include "tst_wayland.moc"
