#include "screenshot/capturegeometry.h"
#include "screenshot/screenshotpaths.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace ScreenshotPaths;

namespace
{

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestScreenshotFiles : public QObject
{
    Q_OBJECT

private slots:
    // The last second of a day and the first of the next.
    void names()
    {
        const QDateTime last(QDate(2025, 3, 4), QTime(23, 59, 59)), next = last.addSecs(1);
        QCOMPARE(dayName(last), "2025-03-04");
        QCOMPARE(fileStem(last), "截图_2025-03-04_23-59-59");
        QCOMPARE(dayName(next), "2025-03-05");
        QCOMPARE(fileStem(next), "截图_2025-03-05_00-00-00");
    }

    void uniqueName_data()
    {
        QTest::addColumn<QStringList>("taken"); // a trailing '/' makes a folder
        QTest::addColumn<QString>("expected");
        QTest::newRow("first gap") << QStringList{"s.png", "s_03.png"} << "s_02.png";
        QTest::newRow("folder counts") << QStringList{"s.png/"} << "s_02.png";
        QStringList upTo99{"s.png"};
        for (int i = 2; i <= 99; ++i)
            upTo99 << QStringLiteral("s_%1.png").arg(i, 2, 10, QChar('0'));
        QTest::newRow("past 99") << upTo99 << "s_100.png";
    }

    void uniqueName()
    {
        QFETCH(QStringList, taken);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString& name : taken) {
            QFile f(dir.filePath(name));
            QVERIFY(name.endsWith('/') ? QDir().mkdir(f.fileName()) : f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(uniquePNG(dir.path(), "s"), dir.filePath(expected));
    }

    // The user's umask decides who may read a screenshot.
    void sameNameKeepsBothFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("next");
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("mode");
        QTest::newRow("umask 022") << "截图_x.png"
                                   << "截图_x_02.png" << 022 << 0644;
        QTest::newRow("umask 077") << "截图_x.png"
                                   << "截图_x_02.png" << 077 << 0600;
        QTest::newRow("counted name") << "截图_x_02.png"
                                      << "截图_x_03.png" << 027 << 0640;
    }

    void sameNameKeepsBothFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, next);
        QFETCH(int, umask);
        QTemporaryDir dir;
        const QString target = dir.filePath(name), second = dir.filePath(next);
        const mode_t previous = ::umask(mode_t(umask));
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        QString error;
        QCOMPARE(writeNewFile(target, "first", error), target);
        // A second request chose the same name before the first file existed.
        QCOMPARE(writeNewFile(target, "second", error), second);
        QCOMPARE(contents(target), QByteArray("first"));
        QCOMPARE(contents(second), QByteArray("second"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        for (const QString& path : {target, second}) {
            struct stat info {
            };
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
            QTEST(int(info.st_mode & 07777), "mode");
        }
    }

    void missingFolderLeavesNothing()
    {
        // A missing folder is refused even for root, who ignores permissions.
        QTemporaryDir dir;
        const QString missing = dir.filePath("gone/截图.png");
        QString error;
        QVERIFY(writeNewFile(missing, "data", error).isEmpty());
        QVERIFY(error.contains("截图.png"));
        QVERIFY(!QFileInfo::exists(missing));
    }

    void cropStillCutsNativePixels()
    {
        QImage still(40, 20, QImage::Format_RGB32);
        for (int y = 0; y < still.height(); ++y)
            for (int x = 0; x < still.width(); ++x)
                still.setPixel(x, y, qRgb(x, y, 7));
        still.setDevicePixelRatio(2);
        // Points (3,2) 5x4 at ratio 2: pixels (6,4) 10x8.
        const QImage region = cropStill(still, QRectF(3, 2, 5, 4));
        QCOMPARE(region.size(), QSize(10, 8));
        QCOMPARE(region.devicePixelRatio(), 2.0);
        // Fractions of a pixel are cut off, but a region is never empty.
        QCOMPARE(cropStill(still, QRectF(0, 0, 5.3, 0.2)).size(), QSize(10, 1));
        QCOMPARE(region.pixel(0, 0), qRgb(6, 4, 7));
        QCOMPARE(region.pixel(9, 7), qRgb(15, 11, 7));
        // Past the still's right edge: transparent.
        const QImage past = cropStill(still, QRectF(18, 0, 4, 4));
        QCOMPARE(past.pixel(3, 0), qRgb(39, 0, 7));
        QCOMPARE(qAlpha(past.pixel(4, 0)), 0);
    }
};

QTEST_GUILESS_MAIN(TestScreenshotFiles)
#include "tst_screenshotfiles.moc"
