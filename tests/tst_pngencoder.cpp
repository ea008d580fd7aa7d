#include "screenshot/pngencoder.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

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

QImage gradient(QSize size, QImage::Format format, int alpha)
{
    QImage image(size, format);
    image.fill(Qt::transparent);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, QColor(255, 40, 0, alpha));
    g.setColorAt(1, QColor(0, 90, 255));
    QPainter(&image).fillRect(image.rect(), g);
    return image;
}

} // namespace

class TestPngEncoder : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<bool>("alpha");
        // Over 1 MiB of rows makes several bands, which must join into one zlib stream.
        QTest::newRow("noise, odd width, bands") << noise(1201, 1000, false) << false;
        QTest::newRow("gradient") << gradient({640, 480}, QImage::Format_RGB32, 255) << false;
        QTest::newRow("1x1") << noise(1, 1, false) << false;
        QTest::newRow("one column") << noise(1, 500, false) << false;
        QTest::newRow("RGB888 source") << gradient({99, 45}, QImage::Format_RGB888, 255) << false;
        QTest::newRow("opaque ARGB32 stays RGB")
            << noise(50, 40, false).convertToFormat(QImage::Format_ARGB32) << false;
        QTest::newRow("translucent noise, odd width, bands") << noise(701, 800, true) << true;
        QTest::newRow("premultiplied")
            << gradient({301, 99}, QImage::Format_ARGB32_Premultiplied, 60) << true;
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

    void nullImage() { QVERIFY(encodePng(QImage()).isEmpty()); }
};

QTEST_GUILESS_MAIN(TestPngEncoder)
#include "tst_pngencoder.moc"
