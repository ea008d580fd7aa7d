// Cutting each screen's still out of one image of the whole desktop, and which files the
// screenshot portal hands over are ours to delete.

#include "screenshot/desktopstill.h"

#include <QDir>
#include <QTest>

class TestDesktopStill : public QObject
{
    Q_OBJECT

private slots:
    void sources_data()
    {
        QTest::addColumn<QList<QRect>>("logical");
        QTest::addColumn<QList<qreal>>("ratios");
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QList<QRect>>("sources");
        QTest::addColumn<QList<QSize>>("natives");
        const QRect left(0, 0, 1280, 720), right(1280, 0, 640, 360);
        // The image comes at the highest scale: the scale-1 output's pixels are doubled in it.
        QTest::newRow("scales 1 and 2")
            << QList{left, right} << QList<qreal>{1, 2} << QSize(3840, 1440)
            << QList{QRect(0, 0, 2560, 1440), QRect(2560, 0, 1280, 720)}
            << QList{QSize(1280, 720), QSize(1280, 720)};
        QTest::newRow("scale 1 only")
            << QList{left, right} << QList<qreal>{1, 1} << QSize(1920, 720) << QList{left, right}
            << QList{QSize(1280, 720), QSize(640, 360)};
        QTest::newRow("above and left of the origin")
            << QList{QRect(-640, -360, 640, 360), left} << QList<qreal>{2, 1} << QSize(3840, 2160)
            << QList{QRect(0, 0, 1280, 720), QRect(1280, 720, 2560, 1440)}
            << QList{QSize(1280, 720), QSize(1280, 720)};
        QTest::newRow("fractional scale")
            << QList{QRect(0, 0, 1000, 500)} << QList<qreal>{1.5} << QSize(1500, 750)
            << QList{QRect(0, 0, 1500, 750)} << QList{QSize(1500, 750)};
        QTest::newRow("image of another layout")
            << QList{left, right} << QList<qreal>{1, 2} << QSize(3840, 1000) << QList<QRect>{}
            << QList<QSize>{};
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
        QList<QSize> natives;
        for (const StillSource& s : stillSources(outputs, image)) {
            sources << s.source;
            natives << s.native;
        }
        QTEST(sources, "sources");
        QTEST(natives, "natives");
    }

    void scratchFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("ours");
        QTest::newRow("portal scratch") << "/tmp/out.png" << true;
        QTest::newRow("below the scratch folder") << "/tmp/shots/out.png" << false;
        QTest::newRow("the user's pictures") << QDir::homePath() + "/Pictures/out.png" << false;
    }

    void scratchFiles()
    {
        QFETCH(QString, path);
        QTEST(isScratchFile(path, {"/tmp"}), "ours");
    }
};

QTEST_GUILESS_MAIN(TestDesktopStill)
#include "tst_desktopstill.moc"
