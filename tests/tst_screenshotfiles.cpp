// The screenshot's way to disk: the still cut from the portal's image of the desktop or read from
// the compositor's buffer, the region cut from the still, the PNG and the file it goes into.

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
    // hands it over, at the screen's own density: the compositor's pixels where it reports them,
    // since Qt rounds a fractional scale up.
    void sources_data()
    {
        QTest::addColumn<QList<QRect>>("logical");
        QTest::addColumn<QList<qreal>>("ratios");
        QTest::addColumn<QList<QSize>>("reported"); // by the compositor; empty when unknown
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QList<QRect>>("sources");
        QTest::addColumn<QList<QSize>>("native");
        QTest::addColumn<QList<qreal>>("stillRatios");
        const QRect left(0, 0, 1280, 720), right(1280, 0, 640, 360);
        // The image comes at the highest scale: the scale-1 output's pixels are doubled in it.
        QTest::newRow("scales 1 and 2")
            << QList{left, right} << QList<qreal>{1, 2} << QList<QSize>{{}, {}} << QSize(3840, 1440)
            << QList{QRect(0, 0, 2560, 1440), QRect(2560, 0, 1280, 720)}
            << QList{QSize(1280, 720), QSize(1280, 720)} << QList<qreal>{1, 2};
        QTest::newRow("above and left of the origin")
            << QList{QRect(-640, -360, 640, 360), left} << QList<qreal>{2, 1}
            << QList<QSize>{{}, {}} << QSize(3840, 2160)
            << QList{QRect(0, 0, 1280, 720), QRect(1280, 720, 2560, 1440)}
            << QList{QSize(1280, 720), QSize(1280, 720)} << QList<qreal>{2, 1};
        // 1920x1080 panels at 125 % and 150 %, which Qt 6.4 reports at ratio 2.
        QTest::newRow("scales 1.25 and 1.5")
            << QList{QRect(0, 0, 1536, 864), QRect(1536, 0, 1280, 720)} << QList<qreal>{2, 2}
            << QList{QSize(1920, 1080), QSize(1920, 1080)} << QSize(5632, 1728)
            << QList{QRect(0, 0, 3072, 1728), QRect(3072, 0, 2560, 1440)}
            << QList{QSize(1920, 1080), QSize(1920, 1080)} << QList<qreal>{1.25, 1.5};
        // Mutter's physical layout: geometries in device pixels, the image at 1:1, the windows on
        // the scale-2 output 1280x720 points.
        const QRect device(1280, 0, 2560, 1440);
        for (const QSize reported : {QSize(), device.size()})
            QTest::addRow("device pixels, %s", reported.isValid() ? "reported" : "not reported")
                << QList{left, device} << QList<qreal>{1, 2} << QList<QSize>{{}, reported}
                << QSize(3840, 1440) << QList{left, device} << QList{left.size(), device.size()}
                << QList<qreal>{1, 2};
        // A picture at 1:1 of a layout in points is no layout in device pixels.
        QTest::newRow("scaled down")
            << QList{left, right} << QList<qreal>{1, 2} << QList{QSize(1280, 720), QSize(1280, 720)}
            << QSize(1920, 720) << QList{left, right} << QList{QSize(1280, 720), QSize(1280, 720)}
            << QList<qreal>{1, 2};
        QTest::newRow("image of another layout")
            << QList{left, right} << QList<qreal>{1, 2} << QList<QSize>{{}, {}} << QSize(3840, 1000)
            << QList<QRect>{} << QList<QSize>{} << QList<qreal>{};
    }

    void sources()
    {
        QFETCH(QList<QRect>, logical);
        QFETCH(QList<qreal>, ratios);
        QFETCH(QList<QSize>, reported);
        QFETCH(QSize, image);
        std::vector<OutputPlacement> outputs;
        for (qsizetype i = 0; i < logical.size(); ++i)
            outputs.push_back({logical[i], ratios[i], reported[i]});
        QList<QRect> sources;
        QList<QSize> native;
        QList<qreal> stillRatios;
        for (const StillSource& s : stillSources(outputs, image)) {
            sources << s.source;
            native << s.native;
            stillRatios << s.ratio;
        }
        QTEST(sources, "sources");
        QTEST(native, "native");
        QTEST(stillRatios, "stillRatios");
    }

    // The desktop's picture over Qt's 128 MB limit (three 1440p displays at scale 2), read when
    // the layout needs one so large, and not read for a layout that needs less.
    void largeDesktopImage_data()
    {
        QTest::addColumn<int>("displays");
        QTest::addColumn<bool>("read");
        QTest::newRow("three 1440p at scale 2") << 3 << true;
        QTest::newRow("two of them") << 2 << false;
    }

    void largeDesktopImage()
    {
        QFETCH(int, displays);
        QTemporaryDir dir;
        QImage desktop(15360, 2880, QImage::Format_RGB32);
        desktop.fill(Qt::darkCyan);
        QFile file(dir.filePath("out.png"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(encodePng(desktop)) > 0);
        file.close();
        desktop = {};
        std::vector<OutputPlacement> outputs;
        for (int i = 0; i < displays; ++i)
            outputs.push_back({QRect(2560 * i, 0, 2560, 1440), 2, {}});
        const QImage read = readDesktopImage(file.fileName(), outputs);
        QTEST(!read.isNull(), "read");
        QVERIFY(read.isNull() || read.pixel(15359, 2879) == QColor(Qt::darkCyan).rgb());
    }

    // The portal's picture goes when the portal made it for our request, in a folder listed
    // before: not a file that was there, nor one elsewhere.
    void portalFiles_data()
    {
        QTest::addColumn<QString>("before"); // what the folder held; the row's name is the answer
        QTest::addColumn<bool>("ours");
        QTest::newRow("Screenshot-1.png") << "Screenshot.png" << true;
        QTest::newRow("Screenshot.png") << "Screenshot.png" << false;
        QTest::newRow("shots/Screenshot.png") << "" << false;
    }

    void portalFiles()
    {
        QTemporaryDir home;
        QVERIFY(QDir(home.path()).mkpath("shots"));
        QFETCH(QString, before);
        if (!before.isEmpty())
            QVERIFY(QFile(home.filePath(before)).open(QIODevice::WriteOnly));
        const FolderListing listing = listFolders({home.path()});
        const QString answer = home.filePath(QTest::currentDataTag());
        QVERIFY(QFile(answer).open(QIODevice::WriteOnly));
        QTEST(isNewPortalFile(answer, listing), "ours");
    }

    // The compositor's shared-memory formats, top-down or bottom-up, into opaque still pixels.
    void buffers_data()
    {
        QTest::addColumn<uint>("format");
        QTest::addColumn<bool>("yInvert");
        QTest::addColumn<uint>("top"); // the still's top pixel; 0 when not read at all
        QTest::newRow("XRGB8888") << 1u << false << qRgb(0x30, 0x20, 0x10);
        QTest::newRow("ARGB8888, y inverted") << 0u << true << qRgb(0x31, 0x21, 0x11);
        QTest::newRow("XBGR8888") << 0x34324258u << false << qRgb(0x10, 0x20, 0x30);
        QTest::newRow("ABGR8888, y inverted") << 0x34324241u << true << qRgb(0x11, 0x21, 0x31);
        QTest::newRow("RGB565") << 0x36314752u << false << 0u;
    }

    void buffers()
    {
        QFETCH(uint, format);
        QFETCH(bool, yInvert);
        // Two rows of one pixel in memory order B G R A and a stride of 8 bytes; the alpha says
        // nothing about the screen.
        const uchar memory[16] = {0x10, 0x20, 0x30, 0x00, 9, 9, 9, 9,
                                  0x11, 0x21, 0x31, 0x7f, 9, 9, 9, 9};
        const QImage image = imageFromBuffer(memory, QSize(1, 2), 8, format, yInvert);
        // Its words as stored: Qt takes an RGB32 pixel's top byte to be 0xff.
        QTEST(image.isNull() ? 0u : reinterpret_cast<const QRgb*>(image.constScanLine(0))[0],
              "top");
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
