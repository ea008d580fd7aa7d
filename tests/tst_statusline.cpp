#include "app/statusline.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>

class TestStatusLine : public QObject
{
    Q_OBJECT

private slots:
    void startsIdle()
    {
        StatusLine line;
        QCOMPARE(line.text(), QStringLiteral("准备就绪"));
        QVERIFY(line.isIdle());
    }

    void pendingResetIsTheLatestCalls_data()
    {
        QTest::addColumn<double>("first");
        QTest::addColumn<double>("second");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("long then short") << 30.0 << 2.0 << 2000;
        QTest::newRow("short then long") << 2.0 << 30.0 << 30000;
        QTest::newRow("same delay") << 2.0 << 2.0 << 2000;
        QTest::newRow("fraction of a second") << 5.0 << 0.25 << 250;
    }

    void pendingResetIsTheLatestCalls()
    {
        QFETCH(double, first);
        QFETCH(double, second);
        QFETCH(int, expectedMs);
        StatusLine line;
        QStringList shown;
        int idles = 0;
        line.onMessage = [&](const QString& m) { shown << m; };
        line.onIdle = [&] { ++idles; };

        line.show(QStringLiteral("一"), first);
        line.show(QStringLiteral("二"), second);

        QCOMPARE(shown, (QStringList{QStringLiteral("一"), QStringLiteral("二")}));
        QCOMPARE(line.text(), QStringLiteral("二"));
        QVERIFY(!line.isIdle());
        QVERIFY(line.resetTimer().isActive());
        QVERIFY(line.resetTimer().isSingleShot());
        QCOMPARE(line.resetTimer().interval(), expectedMs);
        QCOMPARE(idles, 0);
    }

    // Real timers at 1 ms per second: idle comes back after the latest delay, and only once.
    void idleReturnsAfterTheLatestDelay_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::newRow("long replaced by short") << 600 << 20;
        QTest::newRow("short replaced by long") << 20 << 300;
    }

    void idleReturnsAfterTheLatestDelay()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        StatusLine line;
        line.setMillisecondsPerSecond(1);
        int idles = 0;
        line.onIdle = [&] { ++idles; };

        QElapsedTimer clock;
        clock.start();
        line.show(QStringLiteral("一"), first);
        line.show(QStringLiteral("二"), second);
        QTRY_VERIFY_WITH_TIMEOUT(idles > 0, 3000);
        const qint64 elapsed = clock.elapsed();

        QCOMPARE(idles, 1);
        QVERIFY2(elapsed >= second, qPrintable(QString::number(elapsed)));
        if (first > second)
            QVERIFY2(elapsed < first, qPrintable(QString::number(elapsed)));
        QCOMPARE(line.text(), QStringLiteral("准备就绪"));
        QVERIFY(line.isIdle());
        // The replaced reset must not fire later on.
        QTest::qWait(std::max(0, int(std::max(first, second) + 100 - clock.elapsed())));
        QCOMPARE(idles, 1);
    }
};

QTEST_GUILESS_MAIN(TestStatusLine)
#include "tst_statusline.moc"
