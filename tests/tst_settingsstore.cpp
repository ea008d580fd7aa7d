#include "settings/colorcodec.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

#include <cmath>
#include <limits>

using namespace SettingsKeys;

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestSupport::isolateSettings()); }
    void init() { TestSupport::clearSettings(); }

    // The key picks the typed read: function key, pen letter, colour or width.
    void read_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored"); // invalid: absent
        QTest::addColumn<QVariant>("expected");
        const QString number = markerFunctionKey, letter = blueKey, color = redColor;
        const QVariant absent, red = SettingsDefaults::systemRed;
        QTest::newRow("int absent") << number << absent << QVariant(8);
        QTest::newRow("int zero is not the default") << number << QVariant(0) << QVariant(0);
        QTest::newRow("int from text") << number << QVariant("12") << QVariant(12);
        QTest::newRow("int fraction truncates") << number << QVariant(7.9) << QVariant(7);
        QTest::newRow("int bytes") << number << QVariant(QByteArray("\x01")) << QVariant(0);
        QTest::newRow("int huge") << number << QVariant("1e300") << QVariant(0);

        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("width absent") << lineWidth << absent << QVariant(4.0);
        QTest::newRow("width from text") << lineWidth << QVariant("7.25") << QVariant(7.25);
        QTest::newRow("width zero") << lineWidth << QVariant(0.0) << QVariant(4.0);
        QTest::newRow("width negative") << lineWidth << QVariant(-3.0) << QVariant(4.0);
        QTest::newRow("width infinity") << lineWidth << QVariant(inf) << QVariant(4.0);
        QTest::newRow("width bytes") << lineWidth << QVariant(QByteArray("4")) << QVariant(4.0);

        QTest::newRow("letter absent") << letter << absent << QVariant("w");
        QTest::newRow("letter blanks") << letter << QVariant(" q ") << QVariant(" q ");
        QTest::newRow("letter bytes") << letter << QVariant(QByteArray("x")) << QVariant("w");

        const QByteArray good = ColorCodec::encode(QColor(10, 20, 30));
        QByteArray wrongTag = good, wrongVersion = good;
        wrongTag[0] = 'X';
        wrongVersion[4] = 2;
        QTest::newRow("colour absent") << color << absent << red;
        QTest::newRow("colour good") << color << QVariant(good) << QVariant(QColor(10, 20, 30));
        QTest::newRow("colour wrong tag") << color << QVariant(wrongTag) << red;
        QTest::newRow("colour too long") << color << QVariant(good + "x") << red;
        QTest::newRow("colour wrong version") << color << QVariant(wrongVersion) << red;
        QTest::newRow("colour text") << color << QVariant("red") << red;
    }

    void read()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        TestSupport::storeRaw(key, stored);
        const SettingsStore s;
        QVariant actual;
        if (key == markerFunctionKey)
            actual = s.value(key, 8);
        else if (key == lineWidth)
            actual = s.positiveDouble(key, 4.0);
        else if (key == redColor)
            actual = s.color(key, SettingsDefaults::systemRed);
        else
            actual = s.string(key, "w");
        QCOMPARE(actual, expected);
    }

    // Each write is read back by a store made afterwards.
    void writesReadBack()
    {
        SettingsStore().setInteger(5, markerFunctionKey);
        SettingsStore().setString("é", redKey);
        SettingsStore().setDouble(8.0, lineWidth);
        QCOMPARE(SettingsStore().value(markerFunctionKey, 8), 5);
        QCOMPARE(SettingsStore().string(redKey, "q"), QString("é"));
        QCOMPARE(SettingsStore().positiveDouble(lineWidth, 4.0), 8.0);
        for (const QColor& c :
             {SettingsDefaults::systemBlue, QColor(1, 2, 3, 4),
              QColor::fromRgba64(65535, 1, 32768, 65534), QColor::fromHsv(200, 100, 50)}) {
            SettingsStore().setColor(c, greenColor);
            QCOMPARE(SettingsStore().color(greenColor, Qt::black), c.toRgb());
        }
        // An invalid colour is not written: the last one stays.
        SettingsStore().setColor(QColor(), greenColor);
        QCOMPARE(SettingsStore().color(greenColor, Qt::black),
                 QColor::fromHsv(200, 100, 50).toRgb());
    }

    // A full disk is a file size limit of nothing; root writes into read-only folders anyway.
    void unwritableFile_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("folder in its place") << true;
        QTest::newRow("no room") << false;
    }

    void unwritableFile()
    {
        QFETCH(bool, folder);
        const QString path = TestSupport::settingsFile();
        SettingsStore().setString("x", redKey);
        if (folder)
            QVERIFY(QFile::remove(path) && QDir().mkdir(path));
        const auto restore = qScopeGuard([&] { QDir().rmdir(path); });
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit none{0, old.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, folder ? &old : &none), 0);
        // Started on what the file holds: the fallback where there is no file.
        SettingsStore store;
        const QString held = folder ? "q" : "x";
        QCOMPARE(store.string(redKey, "q"), held);
        QCOMPARE(store.unwritableReason().contains(path), folder);
        store.setString("y", redKey);
        const QString reason = store.sync();
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);
        QVERIFY2(reason.contains(path), qPrintable(reason));
        QCOMPARE(store.string(redKey, "q"), held);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
