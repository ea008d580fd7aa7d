// The built program in a Wayland session, driven only from outside: its command line, wtype and
// a virtual pointer, and judged by sway's window tree, grim, the accessibility bus, the clipboard
// and the files it writes. The desktop behind it is a window of this test per output.

#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"
#include "testsupport.h"
#include "waylandsupport.h"

#include <QApplication>
#include <QPainter>
#include <QWidget>

using namespace WaylandSupport;

namespace
{

// Smooth, so a scale-1 output survives the doubling in grim's and the portal's pictures nearly
// unchanged, with sharp checker edges every 16 device pixels, so an offset or a wrong scale shows.
class Pattern : public QWidget
{
public:
    // Sway shows a window on a scale-2 output upscaled until Qt draws it again at that density.
    qreal drawnAt = 0;

protected:
    void paintEvent(QPaintEvent*) override
    {
        drawnAt = devicePixelRatioF();
        QImage image((QSizeF(size()) * drawnAt).toSize(), QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y,
                               qRgb(40 + x * 160 / image.width(), 40 + y * 160 / image.height(),
                                    (x / 16 + y / 16) % 2 ? 160 : 100));
        image.setDevicePixelRatio(drawnAt);
        QPainter(this).drawImage(0, 0, image);
    }
};

const QRgb kRed = qRgb(255, 59, 48), kBlue = qRgb(0, 122, 255), kGreen = qRgb(52, 199, 89);

// In grim's whole-desktop picture, at scale 2.
QRect pixels(const QRect& logical)
{
    return {logical.topLeft() * 2, logical.size() * 2};
}

// QTRY_* count only their own sleeps, and each grim takes up to a second here.
bool within(const std::function<bool()>& condition)
{
    return QTest::qWaitFor(condition, 15000);
}

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

    std::vector<std::unique_ptr<Pattern>> m_desktop;
    QImage m_before;
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

    // Shown, not only placed: sway lists a window as fullscreen before the program has drawn it
    // there, and sends input to where it was until then. Both outputs show something else.
    bool dimmed()
    {
        const QImage now = grim();
        return !differs(m_before, now, pixels({10, 10, 1, 1}), 24).isEmpty() &&
               !differs(m_before, now, pixels({1290, 10, 1, 1}), 24).isEmpty();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(pointer().isValid(), "needs the Wayland desktop of the test command");
        QVERIFY(pointer().moveTo(kRest));
        for (const QString output : {"HEADLESS-1", "HEADLESS-2"}) {
            m_desktop.push_back(std::make_unique<Pattern>());
            m_desktop.back()->show();
            // The newest window has the focus; sway ignores where a client asks to be.
            QTRY_COMPARE(windowsOf(QCoreApplication::applicationPid()).size(),
                         qsizetype(m_desktop.size()));
            QVERIFY(run("swaymsg", {"move container to output " + output}));
        }
        QVERIFY(within([&] { return m_desktop[0]->drawnAt == 1 && m_desktop[1]->drawnAt == 2; }));
        // Once drawn: the same twice.
        QVERIFY(within(
            [&] { return (m_before = grim()).size() == QSize(3840, 1440) && m_before == grim(); }));
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
        // The desktop everywhere but at the toolbar, at the top middle of the first output.
        QImage open;
        QRect toolbar;
        QVERIFY(within([&] {
            toolbar = differs(m_before, open = grim(), pixels(kOne), 24);
            return toolbar.isValid() && toolbar.bottom() < 200 &&
                   qAbs(toolbar.center().x() - 1280) <= 2;
        }));
        QCOMPARE(differs(m_before, open, pixels(kTwo & kAll)), QRect());
        // Drawn again until the second output's window takes input: the same red line.
        QVERIFY(within([&] {
            return drag({{1350, 100}, {1450, 100}, {1550, 100}}) && grim().pixel(2900, 200) == kRed;
        }));
        QVERIFY(QRect(2680, 180, 440, 40).contains(differs(open, grim(), pixels(kTwo & kAll))));
        QCOMPARE(differs(open, grim(), pixels(kOne)), QRect());
        for (const auto& [key, y, colour] :
             {std::tuple{"w", 400, kBlue}, {"e", 450, kGreen}, {"q", 500, kRed}}) {
            QVERIFY(keys({key}) && drag({{200, y}, {400, y}}));
            QVERIFY(
                within([y = y, colour = colour] { return grim().pixel(600, y * 2) == colour; }));
        }
        // Shift held, by a wtype running meanwhile, straightens the wandering drag into a line.
        QProcess shift;
        shift.start("wtype",
                    {"-k", "Shift_L", "-s", "300", "-M", "shift", "-s", "3000", "-m", "shift"});
        QTest::qWait(1500);
        QVERIFY(drag({{200, 600}, {500, 690}, {400, 600}}) && shift.waitForFinished(10000));
        QVERIFY(within([] { return grim().pixel(600, 1200) == kRed; }));
        QVERIFY(grim().pixel(1000, 1380) != kRed);
        QVERIFY(keys({"z"}) && drag({{200, 390}, {200, 410}}));
        QVERIFY(within([&] { return grim().pixel(600, 800) == open.pixel(600, 800); }));
        QCOMPARE(grim().pixel(600, 900), kGreen);
        QVERIFY(keys({"q", "c"}));
        QVERIFY(within([&] { return differs(open, grim(), pixels(kAll)).isNull(); }));
        QVERIFY(keys({"Escape"}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QVERIFY(within([&] { return differs(m_before, grim(), pixels(kAll)).isNull(); }));
    }

    // Each output at its own density, equal to what grim reads there and on the clipboard;
    // Escape and the right click write nothing. The portal's picture holds a scale-1 output
    // smoothly doubled, so its pixels come back only near the original.
    void screenshot_data()
    {
        QTest::addColumn<QString>("cancel");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("size");
        QTest::newRow("scale 2") << QString() << QRect(1400, 100, 100, 50) << QSize(200, 100);
        QTest::newRow("scale 1") << QString() << QRect(50, 600, 200, 80) << QSize(200, 80);
        QTest::newRow("Escape") << "Escape" << QRect() << QSize();
        QTest::newRow("right click") << "right" << QRect() << QSize();
    }

    void screenshot()
    {
        QFETCH(QString, cancel);
        QFETCH(QRect, area);
        QFETCH(QSize, size);
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP=GNOME"});
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QCOMPARE(sandbox.command({"--screenshot"}, desktopEnvironment()), 0);
        QTRY_COMPARE_WITH_TIMEOUT(covers(app->processId()), (QList<QRect>{kOne, kTwo}), 15000);
        QVERIFY(within([&] { return dimmed(); }));
        if (cancel == "Escape")
            QVERIFY(keys({"Escape"}));
        else if (cancel == "right")
            QVERIFY(pointer().moveTo({1500, 200}) && pointer().button(BTN_RIGHT, true) &&
                    pointer().button(BTN_RIGHT, false) && pointer().moveTo(kRest));
        else
            QVERIFY(drag({area.topLeft(), area.center(), area.bottomRight() + QPoint(1, 1)}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QStringList files;
        if (!area.isNull())
            QTRY_COMPARE((files = live::filesUnder(sandbox.screenshotRoot())).size(), 1);
        QTest::qWait(500);
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()).size(), files.size());
        QCOMPARE(app->state(), QProcess::Running);
        if (area.isNull())
            return;
        const QImage saved = QImage(files[0]).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(saved.size(), size);
        QVERIFY(within([&] {
            return differs(saved, grim(area), saved.rect(), area.x() < kTwo.x() ? 24 : 0).isNull();
        }));
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
        std::optional<TestSupport::PrivateBus> bus;
        if (portal) {
            QVERIFY(portalFile.open(QIODevice::WriteOnly));
            QVERIFY(portalFile.setPermissions(QFile::ReadOwner));
        } else {
            bus.emplace();
            environment << "DBUS_SESSION_BUS_ADDRESS=" + bus->address;
            QDBusConnection privateBus = QDBusConnection::connectToBus(bus->address, "private");
            QVERIFY(privateBus.registerService("org.a11y.Bus") &&
                    privateBus.registerObject("/org/a11y/bus", &m_accessibility,
                                              QDBusConnection::ExportAllSlots));
        }
        const auto restore = qScopeGuard([&] {
            if (portal)
                portalFile.remove();
            QDBusConnection::disconnectFromBus("private");
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
