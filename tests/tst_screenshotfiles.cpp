// The screenshot's way to disk: the still cut from the portal's image of the desktop, the region
// cut from the still, the PNG and the file it goes into.

#include "screenshot/capturegeometry.h"
#include "screenshot/desktopstill.h"
#include "screenshot/pngencoder.h"
#include "screenshot/screenshotpaths.h"

#include <QDir>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace ScreenshotPaths;

namespace
{

// Random pixels, opaque unless translucent.
QImage noise(int width, int height, bool translucent)
{
    QImage image(width, height, QImage::Format_ARGB32);
    QRandomGenerator(width * 7919 + height)
        .fillRange(reinterpret_cast<quint32*>(image.bits()), image.sizeInBytes() / 4);
    return translucent ? image : image.convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestScreenshotFiles : public QObject
{
    Q_OBJECT

private slots:
    // A second request chose the same name before the first file existed; the user's umask
    // decides who may read a screenshot.
    void sameNameKeepsBothFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("next");
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("mode");
        QTest::newRow("umask 022") << "截图_x.png"
                                   << "截图_x_02.png" << 022 << 0644;
        QTest::newRow("counted name") << "截图_x_02.png"
                                      << "截图_x_03.png" << 027 << 0640;
    }

    void sameNameKeepsBothFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, next);
        QFETCH(int, umask);
        QTemporaryDir dir;
        const mode_t previous = ::umask(mode_t(umask));
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        QString error;
        QCOMPARE(writeNewFile(dir.filePath(name), "first", error), dir.filePath(name));
        QCOMPARE(writeNewFile(dir.filePath(name), "second", error), dir.filePath(next));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({name, next}));
        for (const QString& file : {name, next}) {
            QFile f(dir.filePath(file));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray(file == name ? "first" : "second"));
            struct stat info = {};
            ::stat(QFile::encodeName(f.fileName()).constData(), &info);
            QTEST(int(info.st_mode & 07777), "mode");
        }
    }

    void cropStillCutsNativePixels()
    {
        QImage still(40, 20, QImage::Format_RGB32);
        for (int i = 0; i < 40 * 20; ++i)
            still.setPixel(i % 40, i / 40, qRgb(i % 40, i / 40, 7));
        still.setDevicePixelRatio(2);
        // Fractions of a pixel are cut off, but a region is never empty.
        QCOMPARE(cropStill(still, QRectF(0, 0, 5.3, 0.2)).size(), QSize(10, 1));
        // Points (18,1) 4x4 at ratio 2: pixels (36,2) 8x8, past the still's right edge, where it
        // is transparent.
        const QImage past = cropStill(still, QRectF(18, 1, 4, 4));
        QVERIFY(past.pixel(3, 0) == qRgb(39, 2, 7) && qAlpha(past.pixel(4, 0)) == 0);
    }

    // Each screen's still cut out of one image of the whole desktop, as the screenshot portal
    // hands it over, at the screen's own density.
    void sources_data()
    {
        QTest::addColumn<QList<QRect>>("logical");
        QTest::addColumn<QList<qreal>>("ratios");
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QList<QRect>>("sources");
        const QRect left(0, 0, 1280, 720), right(1280, 0, 640, 360);
        // The image comes at the highest scale: the scale-1 output's pixels are doubled in it.
        QTest::newRow("scales 1 and 2")
            << QList{left, right} << QList<qreal>{1, 2} << QSize(3840, 1440)
            << QList{QRect(0, 0, 2560, 1440), QRect(2560, 0, 1280, 720)};
        QTest::newRow("above and left of the origin")
            << QList{QRect(-640, -360, 640, 360), left} << QList<qreal>{2, 1} << QSize(3840, 2160)
            << QList{QRect(0, 0, 1280, 720), QRect(1280, 720, 2560, 1440)};
        QTest::newRow("fractional scale") << QList{QRect(0, 0, 1000, 500)} << QList<qreal>{1.5}
                                          << QSize(1500, 750) << QList{QRect(0, 0, 1500, 750)};
        QTest::newRow("image of another layout")
            << QList{left, right} << QList<qreal>{1, 2} << QSize(3840, 1000) << QList<QRect>{};
    }

    void sources()
    {
        QFETCH(QList<QRect>, logical);
        QFETCH(QList<qreal>, ratios);
        QFETCH(QSize, image);
        std::vector<OutputPlacement> outputs;
        for (qsizetype i = 0; i < logical.size(); ++i)
            outputs.push_back({logical[i], ratios[i]});
        QList<QRect> sources;
        for (const StillSource& s : stillSources(outputs, image)) {
            sources << s.source;
            QCOMPARE(s.native, logical[sources.size() - 1].size() * ratios[sources.size() - 1]);
        }
        QTEST(sources, "sources");
    }

    // Folders that exist, as the portal's do: scratch, a folder below it, and the user's pictures.
    void scratchFiles_data()
    {
        QTest::addColumn<bool>("ours"); // the row's name is the path
        QTest::newRow("scratch/out.png") << true;
        QTest::newRow("scratch/shots/out.png") << false;
        QTest::newRow("Pictures/out.png") << false;
    }

    void scratchFiles()
    {
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath("scratch/shots") && QDir(root.path()).mkpath("Pictures"));
        QTEST(isScratchFile(root.filePath(QTest::currentDataTag()), {root.filePath("scratch")}),
              "ours");
    }

    // Through Qt's own PNG reader.
    void roundTrip_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<bool>("alpha");
        // Over 1 MiB of rows makes several bands, which must join into one zlib stream.
        QTest::newRow("noise, odd width, bands") << noise(1201, 1000, false) << false;
        QTest::newRow("translucent noise, odd width, bands") << noise(701, 800, true) << true;
        QTest::newRow("premultiplied")
            << noise(301, 99, true).convertToFormat(QImage::Format_ARGB32_Premultiplied) << true;
        QImage oneClear = noise(8, 8, false).convertToFormat(QImage::Format_ARGB32);
        oneClear.setPixel(7, 7, 0);
        QTest::newRow("one transparent pixel") << oneClear << true;
    }

    void roundTrip()
    {
        QFETCH(QImage, image);
        QFETCH(bool, alpha);
        QImage decoded;
        QVERIFY(decoded.loadFromData(encodePng(image), "PNG"));
        QCOMPARE(decoded.hasAlphaChannel(), alpha);
        const QImage::Format format = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
        QCOMPARE(decoded.convertToFormat(format), image.convertToFormat(format));
    }
};

QTEST_GUILESS_MAIN(TestScreenshotFiles)
#include "tst_screenshotfiles.moc"
