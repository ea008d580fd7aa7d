// The X11 capturer on the test desktop: monitors L and R (960x1080 each), a compositor. A
// window with a different colour in every pixel covers R, so any misplaced, scaled or
// mis-ordered pixel shows.

#include "screenshot/screencapturer.h"

#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QScreen>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace
{

constexpr char kRatio2Child[] = "--capture-at-ratio-2";

// Unique for every pixel of a monitor up to 1024x2048.
QRgb patternAt(int x, int y)
{
    return qRgb(x & 0xff, y & 0xff, 0x80 | (x >> 8) | (y >> 8) << 2);
}

// The pattern over `area` (native pixels, relative to the monitor's top-left); transparent
// where the area leaves the monitor.
QImage expectedPixels(const QRect& area, const QSize& monitor)
{
    QImage image(area.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    for (int y = 0; y < area.height(); ++y) {
        for (int x = 0; x < area.width(); ++x) {
            const QPoint p = area.topLeft() + QPoint(x, y);
            if (QRect(QPoint(), monitor).contains(p))
                image.setPixel(x, y, patternAt(p.x(), p.y()));
        }
    }
    return image;
}

QScreen* screenNamed(const QString& name)
{
    for (QScreen* screen : QGuiApplication::screens()) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
}

class PatternWindow : public QRasterWindow
{
public:
    explicit PatternWindow(QScreen* screen)
    {
        setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                 Qt::WindowStaysOnTopHint);
        setScreen(screen);
        setGeometry(screen->geometry());
        m_pattern = expectedPixels(QRect(QPoint(), screen->size() * screen->devicePixelRatio()),
                                   screen->size() * screen->devicePixelRatio());
        m_pattern.setDevicePixelRatio(screen->devicePixelRatio());
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(QPointF(), m_pattern); }

private:
    QImage m_pattern;
};

// Run in a child with R at ratio 2: 300x200 points must be 600x400 pixels of the pattern the
// parent shows on R. Prints R's display ID for the parent to compare.
int runRatio2Child()
{
    QScreen* r = screenNamed(QStringLiteral("R"));
    if (!r || r->devicePixelRatio() != 2) {
        std::fprintf(stderr, "no screen R at ratio 2\n");
        return 1;
    }
    const std::unique_ptr<ScreenCapturer> capturer = createScreenCapturer();
    const CaptureResult result = capturer->capture(r, QRectF(40, 30, 300, 200));
    const QImage expected = expectedPixels(QRect(80, 60, 600, 400), QSize(960, 1080));
    if (!result.error.isEmpty() || result.image.devicePixelRatio() != 2 ||
        result.image.convertToFormat(QImage::Format_ARGB32) != expected) {
        std::fprintf(stderr, "got %dx%d at ratio %g, error '%s'; expected 600x400 of the pattern\n",
                     result.image.width(), result.image.height(), result.image.devicePixelRatio(),
                     qPrintable(result.error));
        return 1;
    }
    std::printf("%u\n", capturer->displayID(r).value_or(0));
    return 0;
}

} // namespace

class TestX11Capture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void displayIDs();
    void compositing();
    void capture_data();
    void capture();
    void captureAtRatio2();
    void removedMonitor();

private:
    std::unique_ptr<ScreenCapturer> m_capturer;
    std::unique_ptr<PatternWindow> m_window;
    QScreen* m_left = nullptr;
    QScreen* m_right = nullptr;
};

void TestX11Capture::initTestCase()
{
    m_left = screenNamed(QStringLiteral("L"));
    m_right = screenNamed(QStringLiteral("R"));
    QVERIFY(m_left && m_right);
    m_capturer = createScreenCapturer();
    m_window = std::make_unique<PatternWindow>(m_right);
    m_window->show();
    // Until the compositor has put the window on screen. The tray host sits at the bottom
    // right, so the bottom rows are left out.
    const QRect area(0, 0, 960, 1000);
    const QImage expected = expectedPixels(area, QSize(960, 1080));
    QTRY_COMPARE(m_capturer->capture(m_right, area).image.convertToFormat(QImage::Format_ARGB32),
                 expected);
}

void TestX11Capture::displayIDs()
{
    const std::optional<quint32> left = m_capturer->displayID(m_left);
    const std::optional<quint32> right = m_capturer->displayID(m_right);
    QVERIFY(left && right);
    QVERIFY(*left != *right);
    QCOMPARE(m_capturer->displayID(m_right), right);
}

void TestX11Capture::compositing()
{
    QVERIFY(m_capturer->compositing());
}

void TestX11Capture::capture_data()
{
    QTest::addColumn<QRectF>("rect");
    // Native pixels relative to R's top-left; parts outside R must come out transparent.
    QTest::addColumn<QRect>("area");

    QTest::newRow("inside") << QRectF(100, 200, 300, 150) << QRect(100, 200, 300, 150);
    // Read from the server in more than one strip.
    QTest::newRow("tall") << QRectF(0, 0, 960, 1000) << QRect(0, 0, 960, 1000);
    QTest::newRow("fractional") << QRectF(10.6, 20.2, 100.75, 50.9) << QRect(10, 20, 100, 50);
    QTest::newRow("empty is one pixel") << QRectF(5, 6, 0.4, 0) << QRect(5, 6, 1, 1);
    QTest::newRow("past the right edge") << QRectF(900, 500, 100, 60) << QRect(900, 500, 100, 60);
    // Left of R lies monitor L: still outside this display.
    QTest::newRow("past the left edge") << QRectF(-30, 10, 50, 20) << QRect(-30, 10, 50, 20);
    QTest::newRow("past the top edge") << QRectF(10, -5, 20, 10) << QRect(10, -5, 20, 10);
    QTest::newRow("outside") << QRectF(2000, 10, 10, 10) << QRect(2000, 10, 10, 10);
}

void TestX11Capture::capture()
{
    QFETCH(QRectF, rect);
    QFETCH(QRect, area);

    const CaptureResult result = m_capturer->capture(m_right, rect);
    QCOMPARE(result.error, QString());
    QCOMPARE(result.image.devicePixelRatio(), 1.0);
    QCOMPARE(result.image.convertToFormat(QImage::Format_ARGB32),
             expectedPixels(area, QSize(960, 1080)));
}

void TestX11Capture::captureAtRatio2()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_SCREEN_SCALE_FACTORS"), QStringLiteral("L=1;R=2"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kRatio2Child)});
    QVERIFY(child.waitForFinished(30000));
    QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());
    // The same monitor, seen by another client at another ratio, has the same ID.
    QCOMPARE(child.readAllStandardOutput().trimmed().toUInt(),
             m_capturer->displayID(m_right).value_or(0));
}

void TestX11Capture::removedMonitor()
{
    const auto xrandr = [](const QStringList& args) { return QProcess::execute("xrandr", args); };
    QCOMPARE(xrandr({"--setmonitor", "T", "100/26x100/26+0+0", "none"}), 0);
    bool removed = false;
    // The other X11 tests expect the two monitors only.
    const auto restore = qScopeGuard([&] {
        if (!removed)
            xrandr({"--delmonitor", "T"});
    });
    QScreen* added = nullptr;
    QTRY_VERIFY((added = screenNamed(QStringLiteral("T"))));
    QVERIFY(m_capturer->displayID(added));
    QCOMPARE(xrandr({"--delmonitor", "T"}), 0);
    removed = true;
    // Qt has not yet heard of the removal; the capturer must not answer from memory.
    QVERIFY(!m_capturer->displayID(added));
    QVERIFY(!m_capturer->capture(added, QRectF(0, 0, 10, 10)).error.isEmpty());
    QTRY_VERIFY(!screenNamed(QStringLiteral("T")));
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (app.arguments().contains(QLatin1String(kRatio2Child)))
        return runRatio2Child();
    TestX11Capture test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_x11capture.moc"
