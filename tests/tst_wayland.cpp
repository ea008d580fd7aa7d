// The built program in a Wayland session, driven only from outside: its command line and the
// desktop's input, and judged by the desktop's window tree and pictures, the accessibility bus,
// the clipboard and the files it writes. The desktop behind it is a window of this test per
// output. One case for every test desktop.

#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"
#include "testsupport.h"
#include "waylandsupport.h"

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QWidget>

using namespace WaylandSupport;

namespace
{

// Smooth, so a scale-1 output survives the doubling in the desktop's and the portal's pictures
// nearly unchanged, with sharp checker edges every 16 device pixels, so an offset or a wrong scale
// shows.
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

// In the desktop's whole picture, at scale 2.
QRect pixels(const QRect& logical)
{
    return {logical.topLeft() * 2, logical.size() * 2};
}

// QTRY_* count only their own sleeps, and each picture takes up to a second here.
bool within(const std::function<bool()>& condition)
{
    return QTest::qWaitFor(condition, 15000);
}

// What the desktop's permission store holds for programs outside a sandbox.
QDBusMessage permissionStore(const QString& method, const QVariantList& arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.impl.portal.PermissionStore",
                                       "/org/freedesktop/impl/portal/PermissionStore",
                                       "org.freedesktop.impl.portal.PermissionStore", method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

bool setScreenshotPermission(const QString& answer)
{
    return permissionStore("SetPermission",
                           {"screenshot", true, "screenshot", QString(), QStringList{answer}})
               .type() == QDBusMessage::ReplyMessage;
}

QStringList screenshotPermission()
{
    const QDBusMessage reply = permissionStore("Lookup", {"screenshot", "screenshot"});
    return qdbus_cast<QMap<QString, QStringList>>(reply.arguments().value(0)).value(QString());
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
    // to itself would pick XWayland. Its control window is closed again, unless kept.
    QProcess* launch(live::Sandbox& sandbox, const QStringList& environment = desktopEnvironment(),
                     bool keepControl = false)
    {
        QProcess& app = sandbox.start({}, environment);
        if (!QTest::qWaitFor([&] { return !windowsOf(app.processId()).isEmpty(); }, 10000))
            return nullptr;
        if (keepControl)
            return &app;
        // Off the screen too, not only off the list: GNOME shows a closed window for a while.
        return closeWindows(app.processId()) &&
                       QTest::qWaitFor([&] { return windowsOf(app.processId()).isEmpty(); }) &&
                       within([&] {
                           return differs(m_before, picture(), pixels(layout().all)).isNull();
                       })
                   ? &app
                   : nullptr;
    }

    // Shown, not only placed: sway lists a window as fullscreen before the program has drawn it
    // there, and sends input to where it was until then. Both outputs show something else.
    bool dimmed()
    {
        const QImage now = picture();
        return !differs(m_before, now, pixels({10, 10, 1, 1}), 24).isEmpty() &&
               !differs(m_before, now, pixels({1290, 10, 1, 1}), 24).isEmpty();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(layout().two.isValid() && moveTo(layout().rest),
                 "needs the Wayland desktop of the test command");
        QList<QScreen*> outputs = QGuiApplication::screens();
        std::sort(outputs.begin(), outputs.end(),
                  [](QScreen* a, QScreen* b) { return a->geometry().x() < b->geometry().x(); });
        for (const QScreen* output : outputs) {
            m_desktop.push_back(std::make_unique<Pattern>());
            m_desktop.back()->show();
            // Desktops may ignore where a client asks to be.
            QTRY_COMPARE(windowsOf(QCoreApplication::applicationPid()).size(),
                         qsizetype(m_desktop.size()));
            QVERIFY(place(QCoreApplication::applicationPid(), output->name()));
        }
        QVERIFY(within([&] { return m_desktop[0]->drawnAt == 1 && m_desktop[1]->drawnAt == 2; }));
        QTRY_COMPARE(windowsOf(QCoreApplication::applicationPid()),
                     (QList<QRect>{layout().one, layout().two}));
        // Once drawn: the same twice.
        QVERIFY(within([&] {
            return (m_before = picture()).size() == layout().picture && m_before == picture();
        }));
    }

    // This desktop's portal offers no global keys: the control window says so, as a screen
    // reader reads it, names no keys and blames no other program; the command line opens the pen,
    // where the letters pick pens, Backspace undoes and Escape leaves.
    void pen()
    {
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QTRY_COMPARE(
            accessibleNames(app->processId()).filter("此桌面不向程序提供全局快捷键").size(), 1);
        QVERIFY(accessibleNames(app->processId())
                    .filter(QRegularExpression("F[89]|有快捷键被其他程序占用"))
                    .isEmpty());
        QCOMPARE(sandbox.command({"--pen"}, desktopEnvironment()), 0);
        QTRY_COMPARE(covers(app->processId()), (QList<QRect>{layout().one, layout().two}));
        // The desktop everywhere but at the toolbar, at the top middle of the first output.
        QImage open;
        QRect toolbar;
        QVERIFY(within([&] {
            toolbar = differs(m_before, open = picture(), pixels(layout().one), 24);
            return toolbar.isValid() && toolbar.bottom() < 200 &&
                   qAbs(toolbar.center().x() - 1280) <= 2;
        }));
        QCOMPARE(differs(m_before, open, pixels(layout().two & layout().all)), QRect());
        // Drawn again until the second output's window takes input: the same red line.
        QVERIFY(within([&] {
            return drag({{1350, 100}, {1450, 100}, {1550, 100}}) &&
                   picture().pixel(2900, 200) == kRed;
        }));
        QVERIFY(QRect(2680, 180, 440, 40)
                    .contains(differs(open, picture(), pixels(layout().two & layout().all))));
        QCOMPARE(differs(open, picture(), pixels(layout().one)), QRect());
        for (const auto& [key, y, colour] :
             {std::tuple{"w", 400, kBlue}, {"e", 450, kGreen}, {"q", 500, kRed}}) {
            QVERIFY(keys({key}) && drag({{200, y}, {400, y}}));
            QVERIFY(
                within([y = y, colour = colour] { return picture().pixel(600, y * 2) == colour; }));
        }
        // Shift held straightens the wandering drag into a line.
        QVERIFY(hold("shift", 2000) && drag({{200, 600}, {500, 690}, {400, 600}}));
        QVERIFY(within([] { return picture().pixel(600, 1200) == kRed; }));
        QVERIFY(picture().pixel(1000, 1380) != kRed);
        QVERIFY(keys({"z"}) && drag({{200, 390}, {200, 410}}));
        QVERIFY(within([&] { return picture().pixel(600, 800) == open.pixel(600, 800); }));
        QCOMPARE(picture().pixel(600, 900), kGreen);
        QVERIFY(keys({"q", "c"}));
        QVERIFY(within([&] { return differs(open, picture(), pixels(layout().all)).isNull(); }));
        // Undone, the clear gives the strokes back.
        QVERIFY(keys({"BackSpace"}));
        QVERIFY(within([] { return picture().pixel(600, 1000) == kRed; }));
        QVERIFY(keys({"Escape"}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QVERIFY(
            within([&] { return differs(m_before, picture(), pixels(layout().all)).isNull(); }));
    }

    // Each output at its own density, equal to the desktop's picture of it and on the clipboard;
    // Escape and the right click write nothing. The compositor's own copy of each output comes
    // first; the portal's picture, forced here, holds a scale-1 output smoothly doubled, so its
    // pixels come back only near the original. The control window left open is off the still.
    void screenshot_data()
    {
        QTest::addColumn<QString>("cancel");
        QTest::addColumn<QRect>("area"); // empty: the middle of the control window, kept open
        QTest::addColumn<QString>("stills");
        QTest::newRow("scale 2") << QString() << QRect(1400, 100, 100, 50) << QString();
        QTest::newRow("scale 1") << QString() << QRect(50, 600, 200, 80) << QString();
        QTest::newRow("scale 2, portal") << QString() << QRect(1400, 100, 100, 50) << "portal";
        QTest::newRow("scale 1, portal") << QString() << QRect(50, 600, 200, 80) << "portal";
        QTest::newRow("over the control window") << QString() << QRect() << QString();
        QTest::newRow("Escape") << "Escape" << QRect(0, 0, 1, 1) << QString();
        QTest::newRow("right click") << "right" << QRect(0, 0, 1, 1) << QString();
    }

    void screenshot()
    {
        QFETCH(QString, cancel);
        QFETCH(QRect, area);
        QFETCH(QString, stills);
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP=GNOME"});
        const QStringList environment = desktopEnvironment() << "VELLORI_STILLS=" + stills;
        QProcess* app = launch(sandbox, environment, area.isNull());
        QVERIFY(app);
        if (area.isNull()) {
            const QList<QRect> control = windowsOf(app->processId());
            QCOMPARE(control.size(), 1);
            area = QRect(control[0].center() - QPoint(50, 25), QSize(100, 50));
        }
        const QSize size = area.size() * (area.x() >= layout().two.x() ? 2 : 1);
        QCOMPARE(sandbox.command({"--screenshot"}, environment), 0);
        QTRY_COMPARE_WITH_TIMEOUT(covers(app->processId()),
                                  (QList<QRect>{layout().one, layout().two}), 15000);
        QVERIFY(within([&] { return dimmed(); }));
        if (cancel == "Escape")
            QVERIFY(keys({"Escape"}));
        else if (cancel == "right")
            QVERIFY(click(BTN_RIGHT, {1500, 200}));
        else
            QVERIFY(drag({area.topLeft(), area.center(), area.bottomRight() + QPoint(1, 1)}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QStringList files;
        if (cancel.isEmpty())
            QTRY_COMPARE((files = live::filesUnder(sandbox.screenshotRoot())).size(), 1);
        QTest::qWait(500);
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()).size(), files.size());
        QCOMPARE(app->state(), QProcess::Running);
        if (!cancel.isEmpty())
            return;
        const QImage saved = QImage(files[0]).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(saved.size(), size);
        const int tolerance = area.x() < layout().two.x() && !stills.isEmpty() ? 24 : 0;
        QVERIFY(within(
            [&] { return differs(saved, picture(area), saved.rect(), tolerance).isNull(); }));
        QCOMPARE(QImage::fromData(clipboard("image/png")).convertToFormat(QImage::Format_RGB32),
                 saved);
    }

    // Through the portal, nothing but the alert, with its reason: no selection, no file. Sway's
    // portal never consults the permission store for a program outside a sandbox; it ends
    // otherwise (response 2), which is no refusal, when it cannot write its file. GNOME's keeps
    // a 'no' for good and answers 2 for it, which is one; the request after it asks again.
    // Without a portal the bus still runs.
    void refusedOrMissingPortal_data()
    {
        QTest::addColumn<QString>("portal"); // how it fails; empty: none
        QTest::addColumn<QStringList>("alert");
        if (qEnvironmentVariable("VELLORI_DESKTOP") == "gnome")
            QTest::newRow("stored refusal")
                << "refused"
                << QStringList{"需要重新确认屏幕录制权限",
                               "桌面记住了不允许本应用截取屏幕（例如在它询问时选择了拒绝），"
                               "因此没有再询问。再次截图时，桌面会重新询问，请选择“允许”。"};
        else
            QTest::newRow("portal failed")
                << "failed"
                << QStringList{"截图失败",
                               "桌面的截图服务没能完成截图，例如它的截图程序出错或没有安装。"};
        QTest::newRow("no portal")
            << QString() << QStringList{"截图失败", "此桌面环境没有提供截图服务。"};
    }

    void refusedOrMissingPortal()
    {
        QFETCH(QString, portal);
        QFETCH(QStringList, alert);
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
        QStringList environment = desktopEnvironment() << "VELLORI_STILLS=portal";
        QFile portalFile("/tmp/out.png");
        std::optional<TestSupport::PrivateBus> bus;
        if (portal == "failed") {
            QVERIFY(portalFile.open(QIODevice::WriteOnly));
            QVERIFY(portalFile.setPermissions(QFile::ReadOwner));
        } else if (portal == "refused") {
            QVERIFY(setScreenshotPermission("no"));
        } else {
            bus.emplace();
            environment << "DBUS_SESSION_BUS_ADDRESS=" + bus->address;
            QDBusConnection privateBus = QDBusConnection::connectToBus(bus->address, "private");
            QVERIFY(privateBus.registerService("org.a11y.Bus") &&
                    privateBus.registerObject("/org/a11y/bus", &m_accessibility,
                                              QDBusConnection::ExportAllSlots));
        }
        const auto restore = qScopeGuard([&] {
            if (portal == "failed")
                portalFile.remove();
            if (portal == "refused")
                setScreenshotPermission("yes");
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
        if (portal != "refused")
            return;
        // Asked again once the alert is closed, the program removes the 'no', so the desktop's
        // dialog asks: Escape there denies, which the desktop keeps.
        QVERIFY(closeWindows(app->processId()));
        QCOMPARE(sandbox.command({"--screenshot"}, environment), 0);
        QTRY_COMPARE(screenshotPermission(), QStringList());
        QVERIFY(
            within([] { return keys({"Escape"}) && screenshotPermission() == QStringList{"no"}; }));
    }
};

QTEST_MAIN(TestWayland)
#include "tst_wayland.moc"
