// The built program in a Wayland session, driven only from outside: its command line and the
// desktop's input, and judged by the desktop's window tree and pictures, the accessibility bus,
// the clipboard and the files it writes. The desktop behind it is a window of this test per
// output. One case for every test desktop; what a desktop does differently is a value of its kind
// (VELLORI_DESKTOP) or a row of its own.

#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"
#include "testsupport.h"
#include "waylandsupport.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include <unistd.h>

#include <cstdio>

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
    int paints = 0;
    // Added to the blue of every pixel: the desktop changes.
    int tint = 0;

protected:
    void paintEvent(QPaintEvent*) override
    {
        drawnAt = devicePixelRatioF();
        ++paints;
        QImage image((QSizeF(size()) * drawnAt).toSize(), QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y,
                               qRgb(40 + x * 160 / image.width(), 40 + y * 160 / image.height(),
                                    ((x / 16 + y / 16) % 2 ? 160 : 100) + tint));
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

// What the test desktops do differently.
struct Desktop {
    // Whether it shows what lies below a translucent fullscreen window: the pen is live there.
    bool live = false;
    // The stills backend the program takes there by itself, and whether its stills leave the
    // pointer out: this sway has no cursor plane, so the pointer is in every picture of it.
    QString stills;
    bool pointerless = false;
    // What the control window shows of the hot keys.
    QString keys;
    // Whether this test's desktop windows draw anew before each picture: KWin leaves the first
    // picture of a window at scale 2 unshown, and its scale-2 output at times goes on showing
    // windows already gone from it until what lies below draws again. Sway, on the contrary,
    // at times shows an older buffer of a window that has just drawn.
    bool redrawn = false;
};

Desktop thisDesktop()
{
    const QString kind = qEnvironmentVariable("VELLORI_DESKTOP");
    if (kind == "kwin")
        return {true, "kwin-screenshot", true, "框选截图：F9     开关画笔：F8", true};
    return {false, kind == "gnome" ? "portal" : "wlr-screencopy", false,
            "此桌面不向程序提供全局快捷键", false};
}

// The program in a sandbox, but with the desktop user's home, as in a session: the portal puts
// its pictures there. It tells which way its stills took.
QStringList atHome(QStringList environment)
{
    return environment << "HOME=" + QDir::homePath() << "QT_LOGGING_RULES=vellori.stills.debug=true"
                       << "QT_FORCE_STDERR_LOGGING=1";
}

// The files of the desktop user's home a user sees: the hidden ones, the desktop's own
// settings and caches, left out.
QStringList userFiles()
{
    QStringList found;
    QDirIterator it(QDir::homePath(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    found.sort();
    return found;
}

// The stills backends the program names in its debug output since last asked, in order; the
// output is passed on.
QStringList stillsWays(QProcess& app)
{
    const QByteArray output = app.readAll();
    std::fwrite(output.constData(), 1, std::size_t(output.size()), stderr);
    QStringList ways;
    for (const QRegularExpressionMatch& line :
         QRegularExpression("stills through \"([^\"]+)\"").globalMatch(QString::fromUtf8(output)))
        ways << line.captured(1);
    return ways;
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

    const Desktop m_kind = thisDesktop();
    std::vector<std::unique_ptr<Pattern>> m_desktop;
    QImage m_before;
    AccessibilityBusAddress m_accessibility;
    QProcess m_bindings;

    // Started the way a user's session starts it: no platform chosen, on GNOME, where Qt left
    // to itself would pick XWayland. Its control window is closed again, unless kept. KWin opens
    // windows on the output under the pointer: the scale-1 one, where closing them leaves
    // nothing behind.
    QProcess* launch(live::Sandbox& sandbox, const QStringList& environment = desktopEnvironment(),
                     bool keepControl = false)
    {
        if (!moveTo(layout().one.center()))
            return nullptr;
        QProcess& app = sandbox.start({}, environment, QProcess::MergedChannels);
        const bool appeared =
            QTest::qWaitFor([&] { return !windowsOf(app.processId()).isEmpty(); }, 10000);
        if (!moveTo(layout().rest) || !appeared)
            return nullptr;
        if (keepControl)
            return &app;
        // Off the screen too, not only off the list: GNOME shows a closed window for a while.
        return closeWindows(app.processId()) &&
                       QTest::qWaitFor([&] { return windowsOf(app.processId()).isEmpty(); }) &&
                       within([&] {
                           return differs(m_before, shown(), pixels(layout().all)).isNull();
                       })
                   ? &app
                   : nullptr;
    }

    // What the outputs show, once the desktop has drawn itself anew where it must.
    QImage shown(const QRect& area = {})
    {
        if (!m_kind.redrawn)
            return picture(area);
        std::vector<int> paints;
        for (auto& pattern : m_desktop) {
            paints.push_back(pattern->paints);
            pattern->update();
        }
        const bool drawn = QTest::qWaitFor([&] {
            for (std::size_t i = 0; i < m_desktop.size(); ++i) {
                if (m_desktop[i]->paints == paints[i])
                    return false;
            }
            return true;
        });
        return drawn ? picture(area) : QImage();
    }

    void tint(int blue)
    {
        for (auto& pattern : m_desktop) {
            pattern->tint = blue;
            pattern->update();
        }
    }

    // Shown, not only placed: sway lists a window as fullscreen before the program has drawn it
    // there, and sends input to where it was until then. Both outputs show something else.
    bool dimmed()
    {
        const QImage now = shown();
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
        const qint64 pid = QCoreApplication::applicationPid();
        for (const QScreen* output : outputs) {
            m_desktop.push_back(std::make_unique<Pattern>());
            m_desktop.back()->show();
            // Desktops may ignore where a client asks to be, and GNOME at times a request to go
            // there that comes just after the window showed: asked again until it is there.
            QTRY_COMPARE(windowsOf(pid).size(), qsizetype(m_desktop.size()));
            const QRect there = m_desktop.size() == 1 ? layout().one : layout().two;
            QVERIFY(within([&] {
                return place(pid, output->name()) &&
                       QTest::qWaitFor([&] { return windowsOf(pid).contains(there); }, 1000);
            }));
        }
        QVERIFY(within([&] { return m_desktop[0]->drawnAt == 1 && m_desktop[1]->drawnAt == 2; }));
        QTRY_COMPARE(windowsOf(pid), (QList<QRect>{layout().one, layout().two}));
        // Once drawn: the same twice.
        QVERIFY(within([&] {
            return (m_before = shown()).size() == layout().picture && m_before == shown();
        }));
        // Every call of the shortcut portal's BindShortcuts, which Plasma 5.27 answers with its
        // System Settings: a start must not ask for keys the desktop already holds.
        m_bindings.start("dbus-monitor", {"--session", "type='method_call',interface='org."
                                                       "freedesktop.portal.GlobalShortcuts',"
                                                       "member='BindShortcuts'"});
        QVERIFY(m_bindings.waitForReadyRead(5000));
    }

    void cleanupTestCase()
    {
        QVERIFY(m_bindings.state() == QProcess::Running);
        m_bindings.terminate();
        QVERIFY(m_bindings.waitForFinished(5000));
        QVERIFY(!m_bindings.readAllStandardOutput().contains("member=BindShortcuts"));
        QCOMPARE(
            QProcess::execute("pgrep", {"-U", QString::number(getuid()), "-x", "systemsettings"}),
            1);
    }

    // The control window shows the keys as the desktop reports them, as a screen reader reads
    // it: where the portal offers none it says so, naming no keys and blaming no other program;
    // the command line opens the pen, where the letters pick pens, Backspace undoes and Escape
    // leaves. Where the desktop shows what lies below, the pen is live; elsewhere it shows a
    // still. The user's folders keep no picture the desktop took for the pen.
    void pen()
    {
        const QStringList files = userFiles();
        live::Sandbox sandbox(atHome({"QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"}));
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QTRY_COMPARE(accessibleNames(app->processId()).filter(m_kind.keys).size(), 1);
        QCOMPARE(accessibleNames(app->processId())
                     .filter(QRegularExpression("F[89]|有快捷键被其他程序占用"))
                     .size(),
                 m_kind.keys.contains("F9") ? 1 : 0);
        QCOMPARE(sandbox.command({"--pen"}, desktopEnvironment()), 0);
        QTRY_COMPARE(covers(app->processId()), (QList<QRect>{layout().one, layout().two}));
        // The desktop everywhere but at the toolbar, at the top middle of the first output.
        QImage open;
        QRect toolbar;
        QVERIFY(within([&] {
            toolbar = differs(m_before, open = shown(), pixels(layout().one), 24);
            return toolbar.isValid() && toolbar.bottom() < 200 &&
                   qAbs(toolbar.center().x() - 1280) <= 2;
        }));
        QCOMPARE(differs(m_before, open, pixels(layout().two & layout().all)), QRect());
        // Where it is live, the desktop changing under it shows, on both outputs.
        if (m_kind.live) {
            tint(60);
            const auto untinted = qScopeGuard([&] { tint(0); });
            const QPoint one = pixels(layout().one).center(), two = pixels(layout().two).center();
            QVERIFY(within([&] {
                const QImage now = shown();
                return qBlue(now.pixel(one)) == qBlue(m_before.pixel(one)) + 60 &&
                       qBlue(now.pixel(two)) == qBlue(m_before.pixel(two)) + 60;
            }));
        }
        QVERIFY(within([&] { return differs(open, shown(), pixels(layout().all)).isNull(); }));
        // Drawn again until the second output's window takes input: the same red line.
        QVERIFY(within([&] {
            return drag({{1350, 100}, {1450, 100}, {1550, 100}}) &&
                   shown().pixel(2900, 200) == kRed;
        }));
        QVERIFY(QRect(2680, 180, 440, 40)
                    .contains(differs(open, shown(), pixels(layout().two & layout().all))));
        QCOMPARE(differs(open, shown(), pixels(layout().one)), QRect());
        for (const auto& [key, y, colour] :
             {std::tuple{"w", 400, kBlue}, {"e", 450, kGreen}, {"q", 500, kRed}}) {
            QVERIFY(keys({key}) && drag({{200, y}, {400, y}}));
            QVERIFY(within(
                [&, y = y, colour = colour] { return shown().pixel(600, y * 2) == colour; }));
        }
        // Shift held straightens the wandering drag into a line; the keys after it come once
        // it is up again, or Backspace would redo.
        QElapsedTimer held;
        held.start();
        QVERIFY(hold("shift", 2000) && drag({{200, 600}, {500, 690}, {400, 600}}));
        QVERIFY(within([&] { return shown().pixel(600, 1200) == kRed; }));
        QVERIFY(shown().pixel(1000, 1380) != kRed);
        QTest::qWait(int(qMax<qint64>(0, 2200 - held.elapsed())));
        QVERIFY(keys({"z"}) && drag({{200, 390}, {200, 410}}));
        QVERIFY(within([&] { return shown().pixel(600, 800) == open.pixel(600, 800); }));
        QCOMPARE(shown().pixel(600, 900), kGreen);
        QVERIFY(keys({"q", "c"}));
        QVERIFY(within([&] { return differs(open, shown(), pixels(layout().all)).isNull(); }));
        // Undone, the clear gives the strokes back.
        QVERIFY(keys({"BackSpace"}));
        QVERIFY(within([&] { return shown().pixel(600, 1000) == kRed; }));
        QVERIFY(keys({"Escape"}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QVERIFY(within([&] { return differs(m_before, shown(), pixels(layout().all)).isNull(); }));
        QCOMPARE(userFiles(), files);
        // 退出 from a key binding: the copy is gone within a second of the answer.
        QCOMPARE(sandbox.command({"--quit"}, desktopEnvironment()), 0);
        QVERIFY(app->waitForFinished(1000));
    }

    // Each output at its own density, equal to the desktop's picture of it and on the clipboard;
    // Escape and the right click write nothing. The desktop's fastest way comes first, and its
    // still holds no pointer where the desktop can leave it out; the portal's picture, forced
    // here, holds a scale-1 output smoothly doubled, so its pixels come back only near the
    // original. KWin refuses its own way to a program no menu entry names, which then takes the
    // portal. The control window left open is off the still. No picture of the desktop's stays
    // in the user's folders.
    void screenshot_data()
    {
        QTest::addColumn<QString>("cancel");
        QTest::addColumn<QRect>("area"); // empty: the middle of the control window, kept open
        QTest::addColumn<QString>("stills");
        QTest::addColumn<bool>("unknown"); // a copy of the program no menu entry names
        QTest::newRow("scale 2") << QString() << QRect(1400, 100, 100, 50) << QString() << false;
        QTest::newRow("scale 1") << QString() << QRect(50, 600, 200, 80) << QString() << false;
        QTest::newRow("scale 2, portal")
            << QString() << QRect(1400, 100, 100, 50) << "portal" << false;
        QTest::newRow("scale 1, portal")
            << QString() << QRect(50, 600, 200, 80) << "portal" << false;
        if (thisDesktop().stills == "kwin-screenshot")
            QTest::newRow("refused by KWin")
                << QString() << QRect(50, 600, 200, 80) << QString() << true;
        QTest::newRow("over the control window") << QString() << QRect() << QString() << false;
        QTest::newRow("Escape") << "Escape" << QRect(0, 0, 1, 1) << QString() << false;
        QTest::newRow("right click") << "right" << QRect(0, 0, 1, 1) << QString() << false;
    }

    void screenshot()
    {
        QFETCH(QString, cancel);
        QFETCH(QRect, area);
        QFETCH(QString, stills);
        QFETCH(bool, unknown);
        const QStringList files = userFiles();
        QTemporaryDir elsewhere;
        const QString program = qEnvironmentVariable("VELLORI_PROGRAM");
        const auto restore = qScopeGuard([&] { qputenv("VELLORI_PROGRAM", program.toUtf8()); });
        if (unknown) {
            const QString copy = elsewhere.filePath("vellori");
            QVERIFY(QFile::copy(program, copy));
            qputenv("VELLORI_PROGRAM", copy.toUtf8());
        }
        QStringList ways{stills.isEmpty() ? m_kind.stills : stills};
        if (unknown)
            ways << "portal";
        live::Sandbox sandbox(atHome({"QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP=GNOME"}));
        const QStringList environment = desktopEnvironment() << "VELLORI_STILLS=" + stills;
        QProcess* app = launch(sandbox, environment, area.isNull());
        QVERIFY(app);
        if (area.isNull()) {
            const QList<QRect> control = windowsOf(app->processId());
            QCOMPARE(control.size(), 1);
            area = QRect(control[0].center() - QPoint(50, 25), QSize(100, 50));
        }
        const QSize size = area.size() * (area.x() >= layout().two.x() ? 2 : 1);
        // The portals draw the pointer in; the other ways must not.
        QVERIFY(moveTo(ways.last() == m_kind.stills && m_kind.pointerless ? area.center()
                                                                          : layout().rest));
        QCOMPARE(sandbox.command({"--screenshot"}, environment), 0);
        QTRY_COMPARE_WITH_TIMEOUT(covers(app->processId()),
                                  (QList<QRect>{layout().one, layout().two}), 15000);
        QVERIFY(within([&] { return dimmed(); }));
        QCOMPARE(stillsWays(*app), ways);
        if (cancel == "Escape")
            QVERIFY(keys({"Escape"}));
        else if (cancel == "right")
            QVERIFY(click(BTN_RIGHT, {1500, 200}));
        else
            QVERIFY(drag({area.topLeft(), area.center(), area.bottomRight() + QPoint(1, 1)}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QStringList saved;
        if (cancel.isEmpty())
            QTRY_COMPARE((saved = live::filesUnder(sandbox.screenshotRoot())).size(), 1);
        QTest::qWait(500);
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()).size(), saved.size());
        QCOMPARE(app->state(), QProcess::Running);
        QCOMPARE(userFiles(), files);
        if (!cancel.isEmpty())
            return;
        const QImage image = QImage(saved[0]).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(image.size(), size);
        const int tolerance = area.x() < layout().two.x() && ways.last() == "portal" ? 24 : 0;
        QVERIFY(
            within([&] { return differs(image, shown(area), image.rect(), tolerance).isNull(); }));
        QCOMPARE(QImage::fromData(clipboard("image/png")).convertToFormat(QImage::Format_RGB32),
                 image);
    }

    // Through the portal, nothing but the alert, with its reason: no selection, no file. Sway's
    // portal never consults the permission store for a program outside a sandbox; it ends
    // otherwise (response 2), which is no refusal, when it cannot write its file. GNOME's keeps
    // a 'no' for good and answers 2 for it, which is one; the request after it asks again. KDE's
    // refuses (response 1) when it cannot save into the picture folder. Without a portal the bus
    // still runs.
    void refusedOrMissingPortal_data()
    {
        QTest::addColumn<QString>("portal"); // how it fails; empty: none
        QTest::addColumn<QStringList>("alert");
        const QString kind = qEnvironmentVariable("VELLORI_DESKTOP");
        if (kind == "gnome")
            QTest::newRow("stored refusal")
                << "refused"
                << QStringList{"需要重新确认屏幕录制权限",
                               "桌面记住了不允许本应用截取屏幕（例如在它询问时选择了拒绝），"
                               "因此没有再询问。再次截图时，桌面会重新询问，请选择“允许”。"};
        else if (kind == "kwin")
            QTest::newRow("no picture folder")
                << "folder"
                << QStringList{"需要重新确认屏幕录制权限",
                               "桌面的截图服务没能把截图存入图片文件夹。请确认“系统设置 → "
                               "应用程序 → 位置”中的图片路径是一个存在且可写的文件夹，然后"
                               "重新截图。"};
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
        live::Sandbox sandbox(atHome({"QT_QPA_PLATFORM", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"}));
        QStringList environment = desktopEnvironment() << "VELLORI_STILLS=portal";
        QFile portalFile("/tmp/out.png");
        const QString pictures = QDir::home().filePath("Pictures");
        std::optional<TestSupport::PrivateBus> bus;
        if (portal == "failed") {
            QVERIFY(portalFile.open(QIODevice::WriteOnly));
            QVERIFY(portalFile.setPermissions(QFile::ReadOwner));
        } else if (portal == "refused") {
            QVERIFY(setScreenshotPermission("no"));
        } else if (portal == "folder") {
            QVERIFY(QDir().rename(pictures, pictures + ".away"));
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
            if (portal == "folder")
                QDir().rename(pictures + ".away", pictures);
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
