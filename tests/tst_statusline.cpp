#include "app/statusline.h"

#include <QElapsedTimer>
#include <QTest>

class TestStatusLine : public QObject
{
    Q_OBJECT

private slots:
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
        QVERIFY(line.isIdle() && line.text() == QStringLiteral("准备就绪"));
        line.setMillisecondsPerSecond(1);
        int idles = 0;
        QStringList shown;
        line.onIdle = [&] { ++idles; };
        line.onMessage = [&](const QString& m) { shown << m; };
        QElapsedTimer clock;
        clock.start();
        line.show(QStringLiteral("一"), first);
        line.show(QStringLiteral("二"), second);
        QCOMPARE(shown, (QStringList{QStringLiteral("一"), QStringLiteral("二")}));
        QVERIFY(!line.isIdle() && line.text() == QStringLiteral("二"));
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
