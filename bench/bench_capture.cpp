// Time from "the region is chosen" to "the PNG is on disk" for Vellori (still, crop, encode,
// write in this process, as the program does it) and for scrot, maim and ImageMagick's import (each
// a fresh process, as a user runs them), on the same region of the same desktop-like picture. maim
// gets -u: it would draw the cursor, which the others leave out. Every file is decoded and compared
// with Vellori's, so the sizes are of the same pixels.
//
// Usage: bench_capture [runs]. Needs Xvfb, scrot, maim and import. For each case the program
// starts its own Xvfb sized for it and re-runs itself there with --case; no X server of the
// caller is touched.

#include "benchsupport.h"
#include "screenshot/capturegeometry.h"
#include "screenshot/pngencoder.h"
#include "screenshot/screencapturer.h"

#include <QColorSpace>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
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
    const QString display = startXvfb(xvfb, c.xScreen);
    if (display.isEmpty())
        fail(QStringLiteral("Xvfb did not start: ") + xvfb.readAllStandardError());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("QT_SCREEN_SCALE_FACTORS", QString::number(c.ratio));
    env.remove("WAYLAND_DISPLAY");
    const int status = runCaseProcess(env, index, runs);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const QStringList args = arguments(argc, argv);
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
