#include "app/statusline.h"

#include <QElapsedTimer>
#include <QTest>

class TestStatusLine : public QObject
{
    Q_OBJECT

private slots:
    void pendingResetIsTheLatestCalls_data()
    {
        QTest::addColumn<double>("first");
        QTest::addColumn<double>("second");
        QTest::newRow("long then short") << 30.0 << 2.0;
        QTest::newRow("short then long") << 2.0 << 30.0;
        QTest::newRow("fraction of a second") << 5.0 << 0.25;
    }

    void pendingResetIsTheLatestCalls()
    {
        QFETCH(double, first);
        QFETCH(double, second);
        StatusLine line;
        QVERIFY(line.isIdle() && line.text() == QStringLiteral("准备就绪"));
        QStringList shown;
        line.onMessage = [&](const QString& m) { shown << m; };
        line.show(QStringLiteral("一"), first);
        line.show(QStringLiteral("二"), second);
        QCOMPARE(shown, (QStringList{QStringLiteral("一"), QStringLiteral("二")}));
        QCOMPARE(line.text(), QStringLiteral("二"));
        QVERIFY(!line.isIdle());
        QCOMPARE(line.resetTimer().interval(), int(second * 1000));
    }

    // Real timers at 1 ms per second: idle returns once, after the latest delay.
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
        QVERIFY2(elapsed >= second && (first < second || elapsed < first),
                 qPrintable(QString::number(elapsed)));
        QVERIFY(line.isIdle() && line.text() == QStringLiteral("准备就绪"));
        // The replaced reset must not fire later on.
        QTest::qWait(qMax(0, qMax(first, second) + 100 - int(clock.elapsed())));
        QCOMPARE(idles, 1);
    }
};

QTEST_GUILESS_MAIN(TestStatusLine)
#include "tst_statusline.moc"
