// The X11 capturer on the test desktop: monitors L and R (960x1080 each), a compositor. A
// window with a different colour in every pixel covers R, so any misplaced, scaled or
// mis-ordered pixel shows.

#include "screenshot/screencapturer.h"
#include "xcbsupport.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QtTest>

namespace
{

constexpr char kRatio2Child[] = "--capture-at-ratio-2";

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

QImage pixels(const CaptureResult& result)
{
    return result.error.isEmpty() ? result.image.convertToFormat(QImage::Format_ARGB32) : QImage();
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

// Run with R at ratio 2: 300x200 points must be 600x400 pixels of the pattern the parent shows,
// and another client at another ratio must see the parent's display ID for R.
bool ratio2ChildPasses(quint32 parentID)
{
    QScreen* r = screenNamed("R");
    const std::unique_ptr<ScreenCapturer> capturer = createScreenCapturer();
    const CaptureResult result = capturer->capture(r, QRectF(40, 30, 300, 200));
    return result.image.devicePixelRatio() == 2 && pixels(result) == expected({80, 60, 600, 400}) &&
           capturer->displayID(r) == parentID;
}

} // namespace

class TestX11Capture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(screenNamed("L") && m_right);
        m_window.setFlags(Qt::X11BypassWindowManagerHint);
        m_window.setGeometry(m_right->geometry());
        m_window.show();
        // Until the compositor shows the window; the bottom rows hold the tray host. Being tall,
        // this is read from the server in more than one strip.
        const QRect area(0, 0, 960, 1000);
        QTRY_COMPARE(pixels(m_capturer->capture(m_right, area)), expected(area));
        const auto left = m_capturer->displayID(screenNamed("L")),
                   right = m_capturer->displayID(m_right);
        QVERIFY(left && right && *left != *right);
        QVERIFY(m_capturer->compositing());
    }

    void capture_data()
    {
        QTest::addColumn<QRectF>("rect");
        // Native pixels from R's top-left.
        QTest::addColumn<QRect>("area");
        QTest::newRow("inside") << QRectF(100, 200, 300, 150) << QRect(100, 200, 300, 150);
        QTest::newRow("fractional") << QRectF(10.6, 20.2, 100.75, 50.9) << QRect(10, 20, 100, 50);
        QTest::newRow("empty is one pixel") << QRectF(5, 6, 0.4, 0) << QRect(5, 6, 1, 1);
        QTest::newRow("past the right edge")
            << QRectF(900, 500, 100, 60) << QRect(900, 500, 100, 60);
        // Monitor L lies left of R, yet outside this display.
        QTest::newRow("past the left edge") << QRectF(-30, 10, 50, 20) << QRect(-30, 10, 50, 20);
        QTest::newRow("outside") << QRectF(2000, 10, 10, 10) << QRect(2000, 10, 10, 10);
    }

    void capture()
    {
        QFETCH(QRectF, rect);
        QFETCH(QRect, area);
        const CaptureResult result = m_capturer->capture(m_right, rect);
        QCOMPARE(result.image.devicePixelRatio(), 1.0);
        QCOMPARE(pixels(result), expected(area));
    }

    void captureAtRatio2()
    {
        const QString id = QString::number(m_capturer->displayID(m_right).value_or(0));
        QVERIFY(
            XcbSupport::run("env", {"QT_SCREEN_SCALE_FACTORS=L=1;R=2",
                                    QCoreApplication::applicationFilePath(), kRatio2Child, id}));
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
        QVERIFY(!m_capturer->capture(added, QRectF(0, 0, 10, 10)).error.isEmpty());
        QTRY_VERIFY(!screenNamed("T"));
    }

private:
    std::unique_ptr<ScreenCapturer> m_capturer = createScreenCapturer();
    PatternWindow m_window;
    QScreen* const m_right = screenNamed("R");
};

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc == 3 && app.arguments()[1] == kRatio2Child)
        return ratio2ChildPasses(app.arguments()[2].toUInt()) ? 0 : 1;
    TestX11Capture test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11capture.moc"
