#include "app/singleinstance.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void laterStartsActivateTheFirst_data()
    {
        QTest::addColumn<QString>("leftover");
        QTest::newRow("nothing") << "";
        QTest::newRow("socket of a crashed run") << "socket";
        QTest::newRow("plain file") << "file";
    }

    void laterStartsActivateTheFirst()
    {
        QFETCH(QString, leftover);
        // A full path, so parallel runs and the real program never meet.
        QTemporaryDir dir;
        const QString name = dir.filePath("instance");
        if (leftover == "socket") {
            // Moved away before close() can remove it: a socket file nobody listens on.
            QLocalServer dead;
            QVERIFY(dead.listen(dir.filePath("dead")));
            QVERIFY(QFile::rename(dead.fullServerName(), name));
        } else if (leftover == "file") {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        SingleInstance first(name);
        int activations = 0;
        first.onActivate = [&] { ++activations; };
        QElapsedTimer clock;
        clock.start();
        QVERIFY(first.claim());
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));

        for (int i = 1; i <= 2; ++i) {
            SingleInstance later(name);
            later.onActivate = [] { QFAIL("a later start must not be activated"); };
            QVERIFY(!later.claim());
            QTRY_COMPARE(activations, i);
        }
        QTest::qWait(50);
        QCOMPARE(activations, 2);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
