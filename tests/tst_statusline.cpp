#include "app/statusline.h"

#include <QElapsedTimer>
#include <QTest>

class TestStatusLine : public QObject
{
    Q_OBJECT

private slots:
    // Real timers at 1 ms per second: a short message replacing a long one brings idle back once,
    // after the short delay; the replaced reset never fires.
    void idleReturnsOnceAfterTheLatestDelay()
    {
        StatusLine line;
        line.setMillisecondsPerSecond(1);
        int idles = 0;
        QStringList shown;
        line.onIdle = [&] { ++idles; };
        line.onMessage = [&](const QString& m) { shown << m; };
        QElapsedTimer clock;
        clock.start();
        line.show(QStringLiteral("一"), 600);
        line.show(QStringLiteral("二"), 20);
        QCOMPARE(shown, (QStringList{QStringLiteral("一"), QStringLiteral("二")}));
        QVERIFY(!line.isIdle() && line.text() == QStringLiteral("二"));
        QTRY_VERIFY_WITH_TIMEOUT(idles > 0, 3000);
        QVERIFY2(clock.elapsed() < 600, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(line.isIdle() && line.text() == QStringLiteral("准备就绪"));
        QTest::qWait(qMax(0, 700 - int(clock.elapsed())));
        QCOMPARE(idles, 1);
    }
};

QTEST_GUILESS_MAIN(TestStatusLine)
#include "tst_statusline.moc"
