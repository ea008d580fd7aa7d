// Time from "the region is chosen" to "the PNG is on disk" for Vellori (still, crop, encode,
// write in this process, as the program does it) and for scrot, maim and ImageMagick's import (each
// a fresh process, as a user runs them), on the same region of the same desktop-like picture. maim
// gets -u: it would draw the cursor, which the others leave out. Every file is decoded and compared
// with Vellori's, so the sizes are of the same pixels.
//
// Usage: bench_capture [runs]. Needs Xvfb, scrot, maim and import. For each case the program
// starts its own Xvfb sized for it and re-runs itself there with --case; no X server of the
// caller is touched.

#include "screenshot/capturegeometry.h"
#include "screenshot/pngencoder.h"
#include "screenshot/screencapturer.h"

#include <QColorSpace>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QRasterWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace
{

struct Case {
    const char* name;
    QSize xScreen; // native pixels
    double ratio;  // QT_SCREEN_SCALE_FACTORS for the one monitor
    QRectF region; // points, within the screen
};

// (a) 1920x1080 at ratio 1; (b) 1920x1080 points at ratio 2, a 3840x2160 native read. Both
// regions sit away from the screen's origin, as a dragged rectangle does.
const Case kCases[] = {
    {"a: 1920x1080 at ratio 1", {2560, 1440}, 1.0, {320, 180, 1920, 1080}},
    {"b: 3840x2160 native (1920x1080 points at ratio 2)", {4480, 2520}, 2.0, {160, 90, 1920, 1080}},
};

constexpr int kDefaultRuns = 9;

void fail(const QString& why)
{
    std::fprintf(stderr, "bench_capture: %s\n", qPrintable(why));
    std::exit(1);
}

// Smooth value noise with fine grain: stands in for a photo, the part of a screen that
// compresses worst.
QImage photo(QSize size, QRandomGenerator& random)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    int cells = 4;
    for (int octave = 0; octave < 5; ++octave, cells *= 2) {
        QImage coarse(cells, std::max(2, cells * size.height() / size.width()),
                      QImage::Format_ARGB32);
        for (int y = 0; y < coarse.height(); ++y)
            for (int x = 0; x < coarse.width(); ++x)
                coarse.setPixel(x, y,
                                qRgba(random.bounded(256), random.bounded(256), random.bounded(256),
                                      255 >> octave));
        p.drawImage(QRect(QPoint(), size),
                    coarse.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    p.end();
    for (int y = 0; y < size.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int g = int(random.bounded(9)) - 4;
            row[x] =
                qRgb(std::clamp(qRed(row[x]) + g, 0, 255), std::clamp(qGreen(row[x]) + g, 0, 255),
                     std::clamp(qBlue(row[x]) + g, 0, 255));
        }
    }
    return image;
}

void drawWindowFrame(QPainter& p, const QRectF& r, const QString& title)
{
    QLinearGradient bar(r.topLeft(), r.topLeft() + QPointF(0, 28));
    bar.setColorAt(0, QColor(0xf4, 0xf5, 0xf7));
    bar.setColorAt(1, QColor(0xdc, 0xde, 0xe3));
    p.fillRect(QRectF(r.left(), r.top(), r.width(), 28), bar);
    p.setPen(QColor(0x30, 0x30, 0x38));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
    p.drawText(QRectF(r.left(), r.top(), r.width(), 28), Qt::AlignCenter, title);
    const QColor buttons[] = {QColor(0xee, 0x5f, 0x57), QColor(0xf5, 0xbf, 0x4f),
                              QColor(0x5c, 0xc8, 0x4a)};
    for (int i = 0; i < 3; ++i) {
        p.setBrush(buttons[i]);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(r.left() + 16 + 20 * i, r.top() + 14), 6, 6);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QColor(0, 0, 0, 60));
    p.drawRect(r.adjusted(0, 0, -1, -1));
}

// A desktop in points: wallpaper, a code editor, a photo viewer, a file list and a panel.
QImage desktop(QSize points, double ratio)
{
    QImage image((QSizeF(points) * ratio).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    QRandomGenerator random(20240607);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, points.width(), points.height());
    sky.setColorAt(0, QColor(0x1d, 0x2b, 0x53));
    sky.setColorAt(0.6, QColor(0x7e, 0x25, 0x53));
    sky.setColorAt(1, QColor(0xff, 0x77, 0x4d));
    p.fillRect(QRect(QPoint(), points), sky);
    QRadialGradient glow(points.width() * 0.7, points.height() * 0.3, points.height() * 0.5);
    glow.setColorAt(0, QColor(255, 255, 255, 70));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRect(QPoint(), points), glow);

    const QRectF editor(points.width() * 0.08, points.height() * 0.1, points.width() * 0.45,
                        points.height() * 0.72);
    p.fillRect(editor, QColor(0xfb, 0xfb, 0xfc));
    drawWindowFrame(p, editor, QStringLiteral("screencapturer.cpp — 编辑器"));
    QFont mono(QStringLiteral("DejaVu Sans Mono"), 10);
    p.setFont(mono);
    const QStringList words = {"const",  "auto",  "QImage", "return", "if",     "capture",
                               "screen", "ratio", "rect",   "for",    "window", "// 截图",
                               "0x78",   "png",   "{",      "}",      "nullptr"};
    const QColor colours[] = {QColor(0xa6, 0x26, 0xa4), QColor(0x40, 0x78, 0xf2),
                              QColor(0x50, 0xa1, 0x4f), QColor(0x38, 0x3a, 0x42),
                              QColor(0x98, 0x68, 0x01)};
    const qreal lineHeight = QFontMetricsF(mono).lineSpacing();
    int line = 1;
    for (qreal y = editor.top() + 28 + lineHeight; y < editor.bottom() - 4; y += lineHeight) {
        p.setPen(QColor(0x9d, 0xa5, 0xb4));
        p.drawText(QPointF(editor.left() + 8, y), QString::number(line++).rightJustified(4));
        qreal x = editor.left() + 60 + 16 * random.bounded(4);
        while (x < editor.right() - 120) {
            const QString word = words.at(random.bounded(int(words.size())));
            p.setPen(colours[random.bounded(5)]);
            p.drawText(QPointF(x, y), word);
            x += QFontMetricsF(mono).horizontalAdvance(word + ' ');
            if (random.bounded(6) == 0)
                break;
        }
    }

    const QRectF viewer(points.width() * 0.56, points.height() * 0.14, points.width() * 0.38,
                        points.height() * 0.42);
    p.fillRect(viewer, QColor(0x2b, 0x2b, 0x2b));
    drawWindowFrame(p, viewer, QStringLiteral("IMG_2041.jpg"));
    const QRectF picture = viewer.adjusted(8, 36, -8, -8);
    p.drawImage(picture, photo((picture.size() * ratio).toSize(), random));

    const QRectF files(points.width() * 0.6, points.height() * 0.6, points.width() * 0.3,
                       points.height() * 0.3);
    p.fillRect(files, Qt::white);
    drawWindowFrame(p, files, QStringLiteral("下载 — 文件"));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
    for (int i = 0; i * 22 + 60 < files.height(); ++i) {
        const qreal y = files.top() + 36 + i * 22;
        if (i % 2)
            p.fillRect(QRectF(files.left() + 1, y, files.width() - 2, 22),
                       QColor(0xf2, 0xf4, 0xf8));
        p.setBrush(QColor::fromHsv(random.bounded(360), 150, 220));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(files.left() + 10, y + 3, 16, 16), 3, 3);
        p.setPen(QColor(0x22, 0x22, 0x22));
        p.drawText(QPointF(files.left() + 34, y + 16),
                   QStringLiteral("截图_2024-06-%1_10-%2.png").arg(i + 1).arg(10 + 3 * i));
        p.drawText(QPointF(files.right() - 90, y + 16),
                   QStringLiteral("%1 KB").arg(random.bounded(200, 4000)));
    }

    const QRectF panel(0, points.height() - 40, points.width(), 40);
    p.fillRect(panel, QColor(0x18, 0x18, 0x20));
    for (int i = 0; i < 9; ++i) {
        QLinearGradient icon(0, panel.top() + 6, 0, panel.top() + 34);
        icon.setColorAt(0, QColor::fromHsv(40 * i, 120, 250));
        icon.setColorAt(1, QColor::fromHsv(40 * i, 220, 170));
        p.setBrush(icon);
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(12 + 44 * i, panel.top() + 6, 28, 28), 6, 6);
    }
    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 11));
    p.drawText(panel.adjusted(0, 0, -16, 0), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("10:42  6月7日"));
    return image;
}

// Covers the screen with the picture, above everything, at native pixels.
class Backdrop : public QRasterWindow
{
public:
    explicit Backdrop(const QImage& picture) : m_picture(picture)
    {
        setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(QPointF(), m_picture); }

private:
    QImage m_picture;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Measure {
    QString tool;
    std::vector<double> ms;
    qint64 bytes = 0;
    QString sameAsOurs;

    double median() const { return ::median(ms); }
};

// The pixels of a PNG file as RGB32, whatever colour space tag the tool wrote.
QImage decodedPixels(const QString& path)
{
    QImage image = QImage(path).convertToFormat(QImage::Format_RGB32);
    image.setColorSpace(QColorSpace());
    return image;
}

// What the program saves for the region: the screen's still, cut. Waits for the still.
QImage captureRegion(ScreenCapturer& capturer, QScreen* screen, const QRectF& region)
{
    std::optional<StillsResult> result;
    capturer.grabStills([&](const StillsResult& r) { result = r; }, {});
    while (!result)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (result->status != StillsResult::Status::Taken)
        fail(QStringLiteral("no stills: ") + result->error);
    for (const ScreenStill& still : result->stills) {
        if (still.screen == screen)
            return cropStill(still.image, region);
    }
    fail(QStringLiteral("no still of the screen"));
    return {};
}

double timeProcess(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        fail(program + " failed");
    return double(timer.nsecsElapsed()) / 1e6;
}

int runCase(const Case& c, int runs)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!qFuzzyCompare(screen->devicePixelRatio(), c.ratio))
        fail(QStringLiteral("screen ratio is %1").arg(screen->devicePixelRatio()));
    const QImage picture = desktop(screen->size(), c.ratio);
    Backdrop backdrop(picture);
    backdrop.setGeometry(screen->geometry());
    backdrop.show();

    std::unique_ptr<ScreenCapturer> capturer = createScreenCapturer();
    const QRect native(QPointF(c.region.topLeft() * c.ratio).toPoint(),
                       QSizeF(c.region.size() * c.ratio).toSize());
    const QImage expected = picture.copy(native).convertToFormat(QImage::Format_RGB32);
    QElapsedTimer wait;
    wait.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (captureRegion(*capturer, screen, c.region).convertToFormat(QImage::Format_RGB32) ==
            expected)
            break;
        if (wait.elapsed() > 10000)
            fail(QStringLiteral("the picture never showed on the screen"));
        QThread::msleep(20);
    }

    QTemporaryDir dir;
    const QString ours = dir.filePath(QStringLiteral("vellori.png"));
    const QString x = QString::number(native.x()), y = QString::number(native.y()),
                  w = QString::number(native.width()), h = QString::number(native.height());
    const QString geometry = w + 'x' + h + '+' + x + '+' + y;
    struct Peer {
        QString tool, file, program;
        QStringList args;
    };
    const std::vector<Peer> peers = {
        {"scrot",
         dir.filePath("scrot.png"),
         "scrot",
         {"-o", "-a", x + ',' + y + ',' + w + ',' + h}},
        {"maim", dir.filePath("maim.png"), "maim", {"-u", "-g", geometry}},
        {"import", dir.filePath("import.png"), "import", {"-window", "root", "-crop", geometry}},
    };

    std::vector<Measure> results(1 + peers.size());
    results[0].tool = QStringLiteral("vellori");
    for (size_t i = 0; i < peers.size(); ++i)
        results[i + 1].tool = peers[i].tool;
    std::vector<double> captureMs, encodeMs;
    // Interleaved, so a busy moment of the machine hits every tool alike.
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const QImage image = captureRegion(*capturer, screen, c.region);
        captureMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        const QByteArray png = encodePng(image);
        encodeMs.push_back(double(timer.nsecsElapsed()) / 1e6 - captureMs.back());
        QFile file(ours);
        if (png.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(png) != png.size())
            fail(QStringLiteral("vellori could not write its file"));
        file.close();
        results[0].ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        for (size_t i = 0; i < peers.size(); ++i)
            results[i + 1].ms.push_back(
                timeProcess(peers[i].program, QStringList(peers[i].args) << peers[i].file));
    }

    const QImage oursDecoded = decodedPixels(ours);
    if (oursDecoded != expected)
        fail(QStringLiteral("our file does not hold the region"));
    results[0].bytes = QFileInfo(ours).size();
    for (size_t i = 0; i < peers.size(); ++i) {
        results[i + 1].bytes = QFileInfo(peers[i].file).size();
        results[i + 1].sameAsOurs = decodedPixels(peers[i].file) == oursDecoded ? "yes" : "NO";
    }

    std::printf("\n%s, %dx%d px, median of %d runs\n", c.name, native.width(), native.height(),
                runs);
    std::printf("  %-8s %10s %12s  %s\n", "tool", "time ms", "file bytes", "same pixels");
    for (const Measure& m : results)
        std::printf("  %-8s %10.1f %12lld  %s\n", qPrintable(m.tool), m.median(),
                    static_cast<long long>(m.bytes),
                    m.sameAsOurs.isEmpty() ? "-" : qPrintable(m.sameAsOurs));
    const auto fastest = std::min_element(
        results.begin() + 1, results.end(),
        [](const Measure& a, const Measure& b) { return a.median() < b.median(); });
    std::printf("  vellori vs fastest peer (%s): time x%.2f, size x%.2f\n",
                qPrintable(fastest->tool), results[0].median() / fastest->median(),
                double(results[0].bytes) / double(fastest->bytes));
    std::printf("  vellori medians: capture %.1f ms, encode %.1f ms\n", median(captureMs),
                median(encodeMs));
    return 0;
}

// Starts Xvfb on a free display for the case and runs this program there.
int runInXvfb(int index, int runs)
{
    const Case& c = kCases[index];
    QProcess xvfb;
    xvfb.setProcessChannelMode(QProcess::SeparateChannels);
    xvfb.start(QStringLiteral("Xvfb"),
               {"-displayfd", "1", "-screen", "0",
                QStringLiteral("%1x%2x24").arg(c.xScreen.width()).arg(c.xScreen.height()),
                "-nolisten", "tcp", "-noreset"});
    QByteArray display;
    while (!display.endsWith('\n')) {
        if (!xvfb.waitForReadyRead(10000))
            fail(QStringLiteral("Xvfb did not start: ") + xvfb.readAllStandardError());
        display += xvfb.readAllStandardOutput();
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ':' + QString::fromLatin1(display.trimmed()));
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("QT_SCREEN_SCALE_FACTORS", QString::number(c.ratio));
    env.remove("WAYLAND_DISPLAY");
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--case", QString::number(index), QString::number(runs)});
    child.waitForFinished(-1);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();
    if (args.size() == 3 && args[0] == "--case") {
        QGuiApplication app(argc, argv);
        return runCase(kCases[args[1].toInt()], args[2].toInt());
    }
    QCoreApplication app(argc, argv);
    const int runs = args.isEmpty() ? kDefaultRuns : std::max(1, args[0].toInt());
    std::printf("vellori capture + encode + write vs scrot, maim, import; %d cores\n",
                QThread::idealThreadCount());
    std::fflush(stdout);
    int rc = 0;
    for (int i = 0; i < int(std::size(kCases)); ++i)
        rc |= runInXvfb(i, runs);
    return rc;
}
