// The X11 capturer and the pen on the test desktop: monitors L and R (960x1080 each), a
// compositor. A window with a different colour in every pixel covers R, so any misplaced, scaled
// or mis-ordered pixel shows.

#include "app/applicationsetup.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "screenshot/screencapturer.h"
#include "screenshot/settlewatch.h"
#include "settings/settingsstore.h"
#include "testsupport.h"
#include "xcbsupport.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTimer>
#include <QtTest>

namespace
{

// Of R, what the pattern window shows: the bottom rows hold the tray host.
const QRect kPattern(0, 0, 960, 1000);

// The pattern over `area` of R (native pixels from R's top-left), unique per pixel; copy()
// leaves what is off the monitor transparent.
QImage expected(const QRect& area)
{
    static const QImage pattern = [] {
        QImage image(960, 1080, QImage::Format_ARGB32);
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 960; ++x)
                image.setPixel(x, y, qRgb(x & 0xff, y & 0xff, 0x80 | x >> 8 | y >> 8 << 2));
        return image;
    }();
    return pattern.copy(area);
}

// Waits for the stills; a failure has none.
std::vector<ScreenStill> stills(ScreenCapturer& capturer, const QRegion& vacated = {})
{
    std::optional<StillsResult> result;
    capturer.grabStills([&](const StillsResult& r) { result = r; }, vacated);
    if (!QTest::qWaitFor([&] { return result.has_value(); }))
        return {};
    return result->status == StillsResult::Status::Taken ? result->stills
                                                         : std::vector<ScreenStill>();
}

// Of that screen, in ARGB32 with its ratio; null when there is none.
QImage stillOf(const std::vector<ScreenStill>& stills, const QScreen* screen)
{
    for (const ScreenStill& still : stills) {
        if (still.screen == screen) {
            QImage image = still.image.convertToFormat(QImage::Format_ARGB32);
            image.setDevicePixelRatio(still.image.devicePixelRatio());
            return image;
        }
    }
    return {};
}

QScreen* screenNamed(const QString& name)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    const auto it =
        std::find_if(screens.begin(), screens.end(), [&](QScreen* s) { return s->name() == name; });
    return it == screens.end() ? nullptr : *it;
}

class PatternWindow : public QRasterWindow
{
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).drawImage(0, 0, expected({0, 0, 960, 1080}));
    }
};

// Once its timer runs, changes colour every few milliseconds, as a playing video does.
struct Flickering : QRasterWindow {
    int frame = 0;
    QTimer timer;
    Flickering()
    {
        setFlags(Qt::X11BypassWindowManagerHint);
        connect(&timer, &QTimer::timeout, this, [this] {
            ++frame;
            update();
        });
    }
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(QRect(QPoint(), size()), qRgb(0, frame % 256, 0));
    }
};

} // namespace

class TestX11Capture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(TestSupport::isolateSettings());
        QVERIFY(screenNamed("L") && m_right);
        m_window.setFlags(Qt::X11BypassWindowManagerHint);
        m_window.setGeometry(m_right->geometry());
        m_window.show();
        // Until the compositor shows the window.
        QTRY_COMPARE(stillOf(stills(*m_capturer), m_right).copy(kPattern), expected(kPattern));
        QVERIFY(m_capturer->compositing());
    }

    // Where our windows were just hidden, the stills wait until the screen stops changing, but
    // not for ever.
    void waitsForTheVacatedAreaNotForEver()
    {
        const QRect area(100, 100, 200, 100);
        Flickering window;
        window.setGeometry(area);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QElapsedTimer clock;
        clock.start();
        window.timer.start(8);
        QVERIFY(!stillOf(stills(*m_capturer, area), screenNamed("L")).isNull());
        QVERIFY2(clock.elapsed() >= SettleWatch::giveUpMs && clock.elapsed() < 1500,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void removedMonitor()
    {
        const auto xrandr = [](const QStringList& args) { return XcbSupport::run("xrandr", args); };
        QVERIFY(xrandr({"--setmonitor", "T", "100/26x100/26+0+0", "none"}));
        // The other X11 tests expect the two monitors only.
        auto restore = qScopeGuard([&] { xrandr({"--delmonitor", "T"}); });
        QScreen* added = nullptr;
        QTRY_VERIFY((added = screenNamed("T")));
        QVERIFY(m_capturer->displayID(added));
        restore.dismiss();
        QVERIFY(xrandr({"--delmonitor", "T"}));
        // Qt has not yet heard of the removal; the capturer must not answer from memory.
        QVERIFY(!m_capturer->displayID(added));
        QVERIFY(stillOf(stills(*m_capturer), added).isNull());
        QTRY_VERIFY(!screenNamed("T"));
    }

    // Motion events sent through XTest while the program is busy queue up, and each must still
    // become a point of the stroke.
    void everyMotionEventIsAPoint()
    {
        setUpApplication();
        SettingsStore settings;
        OverlayManager overlay(settings);
        overlay.show({}, {});
        DrawingView* right = overlay.drawingViews().back();
        QVERIFY(QTest::qWaitForWindowExposed(right->window()));
        // xdotool sends as fast as it can and this process reads nothing meanwhile, so all 200
        // moves wait in the queue together.
        QString commands = "mousemove 1000 500 mousedown 1";
        for (int i = 1; i <= 200; ++i)
            commands += QString(" mousemove %1 %2").arg(1000 + 4 * i).arg(i % 2 ? 540 : 500);
        QVERIFY(XcbSupport::xdotool(commands + " mouseup 1"));
        QTRY_VERIFY(!right->strokes().isEmpty() && !right->activeStrokeIndex());
        QCOMPARE_GE(right->strokes().front().points.size(), 150);
        overlay.hide();
    }

private:
    std::unique_ptr<ScreenCapturer> m_capturer = createScreenCapturer();
    PatternWindow m_window;
    QScreen* const m_right = screenNamed("R");
};

QTEST_MAIN(TestX11Capture)
#include "tst_x11capture.moc"
