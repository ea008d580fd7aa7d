#include "screenshot/pngencoder.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

namespace
{

QImage noise(QSize size, QImage::Format format, bool translucent)
{
    QRandomGenerator random(size.width() * 7919 + size.height());
    QImage image(size, format);
    for (int y = 0; y < size.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const QRgb p = random.generate();
            row[x] = translucent ? p : p | 0xff000000u;
        }
    }
    return image;
}

QImage gradient(QSize size, QImage::Format format, int alpha)
{
    QImage image(size, format);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, QColor(255, 40, 0, alpha));
    g.setColorAt(1, QColor(0, 90, 255, 255));
    painter.fillRect(image.rect(), g);
    return image;
}

QImage flat(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

class TestPngEncoder : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void nullImage();
};

void TestPngEncoder::roundTrip_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<bool>("alpha");

    QTest::newRow("noise, odd width") << noise({333, 77}, QImage::Format_RGB32, false) << false;
    QTest::newRow("gradient") << gradient({640, 480}, QImage::Format_RGB32, 255) << false;
    QTest::newRow("flat") << flat({1024, 3}, QColor(0x12, 0x34, 0x56)) << false;
    QTest::newRow("1x1") << flat({1, 1}, Qt::white) << false;
    QTest::newRow("one column") << noise({1, 500}, QImage::Format_RGB32, false) << false;
    // More than one band of rows: they must join into one valid zlib stream.
    QTest::newRow("noise, several bands")
        << noise({1201, 1000}, QImage::Format_RGB32, false) << false;
    QTest::newRow("RGB888 source") << gradient({99, 45}, QImage::Format_RGB888, 255) << false;
    QTest::newRow("opaque ARGB32 stays RGB")
        << noise({50, 40}, QImage::Format_ARGB32, false) << false;
    QTest::newRow("translucent noise") << noise({257, 129}, QImage::Format_ARGB32, true) << true;
    QTest::newRow("translucent, several bands")
        << noise({700, 800}, QImage::Format_ARGB32, true) << true;
    QTest::newRow("premultiplied")
        << gradient({301, 99}, QImage::Format_ARGB32_Premultiplied, 60) << true;
    QImage oneClear = flat({8, 8}, Qt::red).convertToFormat(QImage::Format_ARGB32);
    oneClear.setPixel(7, 7, 0);
    QTest::newRow("one transparent pixel") << oneClear << true;
}

void TestPngEncoder::roundTrip()
{
    QFETCH(QImage, image);
    QFETCH(bool, alpha);

    const QByteArray png = encodePng(image);
    QImage decoded;
    QVERIFY(decoded.loadFromData(png, "PNG"));
    QCOMPARE(decoded.hasAlphaChannel(), alpha);
    const QImage::Format format = alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    QCOMPARE(decoded.convertToFormat(format), image.convertToFormat(format));
}

void TestPngEncoder::nullImage()
{
    QVERIFY(encodePng(QImage()).isEmpty());
}

QTEST_GUILESS_MAIN(TestPngEncoder)
#include "tst_pngencoder.moc"
