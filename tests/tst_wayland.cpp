// The built program in a Wayland session, driven only from outside: its command line, wtype,
// sway's pointer, the desktop's permission store, and judged by grim and the files it writes.
// The desktop behind it is a window of this process per output, showing a pattern.

#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"
#include "waylandsupport.h"

#include <QApplication>
#include <QPainter>
#include <QWidget>

using namespace WaylandSupport;

namespace
{

const QRgb kRed = qRgb(255, 59, 48);
const QRgb kBlue = qRgb(0, 122, 255);

// Smooth, so a scale-1 output survives grim's smooth doubling nearly unchanged, with sharp
// checker edges every 16 device pixels, so an offset or a wrong scale shows.
class Pattern : public QWidget
{
protected:
    void paintEvent(QPaintEvent*) override
    {
        const qreal ratio = devicePixelRatioF();
        QImage image((QSizeF(size()) * ratio).toSize(), QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y,
                               qRgb(40 + x * 160 / image.width(), 40 + y * 160 / image.height(),
                                    (x / 16 + y / 16) % 2 ? 160 : 100));
        image.setDevicePixelRatio(ratio);
        QPainter(this).drawImage(0, 0, image);
    }
};

// Enough for the smoothing of a scale-1 output, far below a stroke or the toolbar.
constexpr int kSmoothing = 24;

// Runs to its end, as from a key binding of the desktop.
bool command(live::Sandbox& sandbox, const QString& option,
             const QStringList& environment = desktopEnvironment())
{
    return sandbox.command({option}, environment) == 0;
}

// In the whole-desktop image of grim, at scale 2.
QRect pixels(const QRect& logical)
{
    return {logical.topLeft() * 2, logical.size() * 2};
}

} // namespace

class TestWayland : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<Pattern>> m_desktop;
    QImage m_before;

    // Started the way a user's session starts it: no platform chosen, on GNOME, where Qt left
    // to itself would pick XWayland. Its control window is closed again.
    QProcess* launch(live::Sandbox& sandbox, const QStringList& environment = desktopEnvironment())
    {
        QProcess& app = sandbox.start({}, environment);
        if (!QTest::qWaitFor([&] { return !windowsOf(app.processId()).isEmpty(); }, 10000))
            return nullptr;
        return sway(QString("[pid=%1] kill").arg(app.processId())) &&
                       QTest::qWaitFor([&] { return windowsOf(app.processId()).isEmpty(); })
                   ? &app
                   : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(pointer().isValid(), "needs the Wayland desktop of the test command");
        for (const QString output : {"HEADLESS-1", "HEADLESS-2"}) {
            m_desktop.push_back(std::make_unique<Pattern>());
            m_desktop.back()->show();
            QVERIFY(QTest::qWaitForWindowExposed(m_desktop.back().get()));
            // The newest window has the focus; sway ignores where a client asks to be.
            QTRY_COMPARE(windowsOf(QCoreApplication::applicationPid()).size(),
                         qsizetype(m_desktop.size()));
            QVERIFY(sway("move container to output " + output));
        }
        const auto shown = [] {
            QList<QRect> rects;
            for (const Window& w : windowsOf(QCoreApplication::applicationPid()))
                rects << w.rect;
            std::sort(rects.begin(), rects.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
            return rects;
        };
        QTRY_COMPARE(shown(), (QList<QRect>{kOne, kTwo}));
        QTest::qWait(200);
        m_before = grim();
        QCOMPARE(m_before.size(), QSize(3840, 1440));
    }

    void init() { QVERIFY(pointer().moveTo({1900, 700})); }

    void penOverBothOutputs()
    {
        live::Sandbox sandbox({"QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP=GNOME"});
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QVERIFY(command(sandbox, "--pen"));
        QTRY_COMPARE(covers(app->processId()), (QList<QRect>{kOne, kTwo}));
        // The desktop shows everywhere but at the toolbar, at the top of the first output.
        QImage open;
        QRect toolbar;
        QTRY_VERIFY((toolbar = differs(m_before, open = grim(), pixels(kOne), kSmoothing)).top() >
                        0 &&
                    toolbar.bottom() < 200 && qAbs(toolbar.center().x() - 1280) <= 2);
        QCOMPARE(differs(m_before, open, pixels(kTwo)), QRect());

        QVERIFY(drag({{1350, 100}, {1450, 100}, {1550, 100}}));
        QImage drawn;
        QTRY_COMPARE((drawn = grim()).pixel(2900, 200), kRed);
        QVERIFY(QRect(2680, 180, 440, 40).contains(differs(open, drawn, pixels(kTwo))));
        QCOMPARE(differs(open, drawn, pixels(kOne)), QRect());

        QVERIFY(keys({"w"}));
        QVERIFY(drag({{200, 400}, {400, 400}}));
        QTRY_COMPARE((drawn = grim()).pixel(600, 800), kBlue);
        QVERIFY(keys({"q"}));
        QVERIFY(drag({{200, 500}, {400, 500}}));
        QTRY_COMPARE((drawn = grim()).pixel(600, 1000), kRed);
        QVERIFY(keys({"z"}));
        QVERIFY(drag({{200, 390}, {200, 410}}));
        QTRY_COMPARE(grim().pixel(600, 800), open.pixel(600, 800));
        QVERIFY(keys({"c"}));
        QTRY_COMPARE(differs(open, grim(), pixels(kOne | kTwo)), QRect());
        QVERIFY(keys({"Escape"}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QTRY_COMPARE(differs(m_before, grim(), pixels(kOne | kTwo)), QRect());
    }

    // Each output at its own density; Escape and the right click write nothing.
    void screenshot_data()
    {
        QTest::addColumn<QString>("cancel");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("size");
        QTest::newRow("scale 2") << QString() << QRect(1400, 100, 100, 50) << QSize(200, 100);
        QTest::newRow("scale 1") << QString() << QRect(50, 600, 200, 80) << QSize(200, 80);
        QTest::newRow("Escape") << "Escape" << QRect() << QSize();
        QTest::newRow("right click") << "right click" << QRect() << QSize();
    }

    void screenshot()
    {
        QFETCH(QString, cancel);
        QFETCH(QRect, area);
        QFETCH(QSize, size);
        live::Sandbox sandbox({"QT_QPA_PLATFORM"});
        QProcess* app = launch(sandbox);
        QVERIFY(app);
        QVERIFY(command(sandbox, "--screenshot"));
        QTRY_COMPARE(covers(app->processId()), (QList<QRect>{kOne, kTwo}));
        if (cancel == "Escape")
            QVERIFY(keys({"Escape"}));
        else if (!cancel.isEmpty())
            QVERIFY(click({1500, 200}, BTN_RIGHT));
        else
            QVERIFY(drag({area.topLeft(), area.center(), area.bottomRight() + QPoint(1, 1)}));
        QTRY_COMPARE(covers(app->processId()), QList<QRect>());
        QStringList files;
        if (!area.isNull())
            QTRY_COMPARE((files = live::filesUnder(sandbox.screenshotRoot())).size(), 1);
        QTest::qWait(500);
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()).size(), files.size());
        if (area.isNull())
            return;
        const QImage saved = QImage(files[0]).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(saved.size(), size);
        const QImage shown = grim(area);
        QCOMPARE(differs(saved, shown, saved.rect(), area.x() < kTwo.x() ? kSmoothing : 0),
                 QRect());
    }

    // Nothing but the alert: no selection, no file. Without a portal the bus still runs.
    void refusedOrMissingPortal_data()
    {
        QTest::addColumn<bool>("portal");
        QTest::newRow("permission no") << true;
        QTest::newRow("no portal") << false;
    }

    void refusedOrMissingPortal()
    {
        QFETCH(bool, portal);
        live::Sandbox sandbox({"QT_QPA_PLATFORM"});
        QStringList environment = desktopEnvironment();
        QProcess bus;
        if (portal) {
            QVERIFY(setScreenshotPermission("no"));
        } else {
            QFile config(sandbox.path("bus.conf"));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                         "<auth>EXTERNAL</auth><policy context=\"default\">"
                         "<allow send_destination=\"*\"/><allow own=\"*\"/></policy></busconfig>");
            config.close();
            bus.start("dbus-daemon",
                      {"--config-file=" + config.fileName(), "--nofork", "--print-address"});
            QVERIFY(bus.waitForReadyRead(5000));
            environment << "DBUS_SESSION_BUS_ADDRESS=" + bus.readLine().trimmed();
        }
        const auto restore = qScopeGuard([&] {
            setScreenshotPermission("yes");
            bus.kill();
            bus.waitForFinished();
        });
        QProcess* app = launch(sandbox, environment);
        QVERIFY(app);
        QVERIFY(command(sandbox, "--screenshot", environment));
        QTRY_COMPARE(windowsOf(app->processId()).size(), 1);
        QTest::qWait(500);
        const QList<Window> shown = windowsOf(app->processId());
        QCOMPARE(shown.size(), 1);
        QVERIFY(!shown[0].fullscreen);
        QCOMPARE(live::filesUnder(sandbox.screenshotRoot()), QStringList());
    }
};

QTEST_MAIN(TestWayland)
#include "tst_wayland.moc"
