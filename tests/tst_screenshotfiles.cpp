#include "screenshot/capturegeometry.h"
#include "screenshot/screenshotpaths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace ScreenshotPaths;

class TestScreenshotFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void rootIsOnTheDesktop()
    {
        QCOMPARE(screenshotRoot(),
                 QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                     "/Vellori截图");
    }

    void names_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("day");
        QTest::addColumn<QString>("stem");
        QTest::newRow("morning") << QDateTime(QDate(2025, 3, 4), QTime(9, 5, 7)) << "2025-03-04"
                                 << "截图_2025-03-04_09-05-07";
        QTest::newRow("last second of a day")
            << QDateTime(QDate(2025, 3, 4), QTime(23, 59, 59)) << "2025-03-04"
            << "截图_2025-03-04_23-59-59";
        QTest::newRow("first second of the next")
            << QDateTime(QDate(2025, 3, 5), QTime(0, 0, 0)) << "2025-03-05"
            << "截图_2025-03-05_00-00-00";
    }

    void names()
    {
        QFETCH(QDateTime, when);
        QFETCH(QString, day);
        QFETCH(QString, stem);
        QCOMPARE(dayName(when), day);
        QCOMPARE(fileStem(when), stem);
    }

    void uniqueName_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << QStringList{} << "s.png";
        QTest::newRow("taken") << QStringList{"s.png"} << QStringList{} << "s_02.png";
        QTest::newRow("two taken")
            << QStringList{"s.png", "s_02.png"} << QStringList{} << "s_03.png";
        QTest::newRow("first gap")
            << QStringList{"s.png", "s_03.png"} << QStringList{} << "s_02.png";
        QTest::newRow("folder counts") << QStringList{} << QStringList{"s.png"} << "s_02.png";
        QStringList upTo99{"s.png"};
        for (int i = 2; i <= 99; ++i)
            upTo99 << QStringLiteral("s_%1.png").arg(i, 2, 10, QChar('0'));
        QTest::newRow("past 99") << upTo99 << QStringList{} << "s_100.png";
    }

    void uniqueName()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString& name : files) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        for (const QString& name : folders)
            QVERIFY(QDir(dir.path()).mkdir(name));
        QCOMPARE(uniquePNG(dir.path(), "s"), dir.filePath(expected));
    }

    void sameNameKeepsBothFiles()
    {
        QTemporaryDir dir;
        const QString target = uniquePNG(dir.path(), "截图_x");
        QString error;
        QCOMPARE(writeNewFile(target, "first", error), target);
        // A second request chose the same name before the first file existed.
        QCOMPARE(writeNewFile(target, "second", error), dir.filePath("截图_x_02.png"));
        QFile first(target), second(dir.filePath("截图_x_02.png"));
        QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
        QCOMPARE(first.readAll(), QByteArray("first"));
        QCOMPARE(second.readAll(), QByteArray("second"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    void unwritableFolderLeavesNothing()
    {
        // A missing folder is refused even for root, who ignores permissions.
        QTemporaryDir dir;
        const QString missing = dir.filePath("gone/截图.png");
        QString error;
        QVERIFY(writeNewFile(missing, "data", error).isEmpty());
        QVERIFY(error.contains("截图.png"));
        QVERIFY(!QFileInfo::exists(missing));
    }

    void nativeSizes_data()
    {
        QTest::addColumn<QSizeF>("points");
        QTest::addColumn<double>("ratio");
        QTest::addColumn<QSize>("pixels");
        QTest::newRow("scale 2") << QSizeF(300, 200) << 2.0 << QSize(600, 400);
        QTest::newRow("fraction truncates") << QSizeF(100.75, 4) << 2.0 << QSize(201, 8);
        QTest::newRow("never below one") << QSizeF(0.2, 0.4) << 1.0 << QSize(1, 1);
        QTest::newRow("scale 1.5") << QSizeF(5, 7) << 1.5 << QSize(7, 10);
    }

    void nativeSizes()
    {
        QFETCH(QSizeF, points);
        QFETCH(double, ratio);
        QFETCH(QSize, pixels);
        QCOMPARE(nativeSize(points, ratio), pixels);
    }

    void cropStillCutsNativePixels()
    {
        QImage still(40, 20, QImage::Format_RGB32);
        for (int y = 0; y < still.height(); ++y)
            for (int x = 0; x < still.width(); ++x)
                still.setPixel(x, y, qRgb(x, y, 7));
        still.setDevicePixelRatio(2);
        // Points (3,2) 5x4 at ratio 2: pixels (6,4) 10x8; the right part runs past the still.
        const QImage region = cropStill(still, QRectF(3, 2, 5, 4));
        QCOMPARE(region.size(), QSize(10, 8));
        QCOMPARE(region.devicePixelRatio(), 2.0);
        QCOMPARE(region.pixel(0, 0), qRgb(6, 4, 7));
        QCOMPARE(region.pixel(9, 7), qRgb(15, 11, 7));
        const QImage past = cropStill(still, QRectF(18, 0, 4, 4));
        QCOMPARE(past.pixel(3, 0), qRgb(39, 0, 7));
        QCOMPARE(qAlpha(past.pixel(4, 0)), 0);
    }
};

QTEST_GUILESS_MAIN(TestScreenshotFiles)
#include "tst_screenshotfiles.moc"
