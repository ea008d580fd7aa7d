#include "settings/colorcodec.h"
#include "settings/settingsstore.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <cmath>
#include <limits>

namespace
{

// Writes straight into the settings file, as a hand edit or an older version would.
void storeRaw(const QString& key, const QVariant& value)
{
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
    raw.setValue(key, value);
    raw.sync();
}

} // namespace

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        const QString file =
            QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori")
                .fileName();
        QVERIFY2(file.contains(".qttest"), qPrintable(file));
    }

    void init()
    {
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
        raw.clear();
        raw.sync();
    }

    void emptyStoreGivesDefaults()
    {
        SettingsStore s;
        QCOMPARE(s.value(SettingsKeys::markerFunctionKey, 8), 8);
        QCOMPARE(s.value(SettingsKeys::screenshotFunctionKey, 9), 9);
        QCOMPARE(s.string(SettingsKeys::redKey, "q"), QString("q"));
        QCOMPARE(s.color(SettingsKeys::redColor, SettingsDefaults::systemRed),
                 SettingsDefaults::systemRed);
        QCOMPARE(s.positiveDouble(SettingsKeys::lineWidth, 4.0), 4.0);
    }

    void integerRead_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("int") << QVariant(5) << qint64(5);
        QTest::newRow("zero is not the default") << QVariant(0) << qint64(0);
        QTest::newRow("thirteen kept") << QVariant(13) << qint64(13);
        QTest::newRow("negative") << QVariant(-1) << qint64(-1);
        QTest::newRow("numeric text") << QVariant(QString("12")) << qint64(12);
        QTest::newRow("fraction truncates") << QVariant(7.9) << qint64(7);
        QTest::newRow("words read 0") << QVariant(QString("abc")) << qint64(0);
        QTest::newRow("empty text reads 0") << QVariant(QString()) << qint64(0);
        QTest::newRow("bytes read 0") << QVariant(QByteArray("\x01\x02")) << qint64(0);
        QTest::newRow("list reads 0") << QVariant(QStringList{"1", "2"}) << qint64(0);
        QTest::newRow("huge reads 0") << QVariant(QString("1e300")) << qint64(0);
    }

    void integerRead()
    {
        QFETCH(QVariant, stored);
        QFETCH(qint64, expected);
        storeRaw(SettingsKeys::markerFunctionKey, stored);
        SettingsStore s;
        QCOMPARE(s.value(SettingsKeys::markerFunctionKey, 8), expected);
    }

    void widthRead_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<double>("expected");
        QTest::newRow("fraction kept unrounded") << QVariant(2.5) << 2.5;
        QTest::newRow("text number") << QVariant(QString("7.25")) << 7.25;
        QTest::newRow("zero") << QVariant(0.0) << 4.0;
        QTest::newRow("negative") << QVariant(-3.0) << 4.0;
        QTest::newRow("nan") << QVariant(std::nan("")) << 4.0;
        QTest::newRow("infinity") << QVariant(std::numeric_limits<double>::infinity()) << 4.0;
        QTest::newRow("words") << QVariant(QString("wide")) << 4.0;
        QTest::newRow("bytes") << QVariant(QByteArray("4")) << 4.0;
    }

    void widthRead()
    {
        QFETCH(QVariant, stored);
        QFETCH(double, expected);
        storeRaw(SettingsKeys::lineWidth, stored);
        SettingsStore s;
        QCOMPARE(s.positiveDouble(SettingsKeys::lineWidth, 4.0), expected);
    }

    void stringRead_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("upper case kept") << QVariant(QString("Q")) << QString("Q");
        QTest::newRow("blanks kept") << QVariant(QString(" q ")) << QString(" q ");
        QTest::newRow("several letters kept") << QVariant(QString("qq")) << QString("qq");
        QTest::newRow("empty kept") << QVariant(QString("")) << QString("");
        QTest::newRow("cjk") << QVariant(QString("笔")) << QString("笔");
        QTest::newRow("bytes fall back") << QVariant(QByteArray("x")) << QString("w");
        QTest::newRow("list falls back") << QVariant(QStringList{"a", "b"}) << QString("w");
    }

    void stringRead()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, expected);
        storeRaw(SettingsKeys::blueKey, stored);
        SettingsStore s;
        QCOMPARE(s.string(SettingsKeys::blueKey, "w"), expected);
    }

    void colorRead_data()
    {
        QTest::addColumn<QVariant>("stored");
        const QByteArray good = ColorCodec::encode(QColor(10, 20, 30));
        QByteArray wrongTag = good;
        wrongTag[0] = 'X';
        QByteArray wrongVersion = good;
        wrongVersion[4] = 2;
        QTest::newRow("wrong tag") << QVariant(wrongTag);
        QTest::newRow("wrong version") << QVariant(wrongVersion);
        QTest::newRow("too short") << QVariant(good.left(good.size() - 1));
        QTest::newRow("too long") << QVariant(good + "x");
        QTest::newRow("empty bytes") << QVariant(QByteArray());
        QTest::newRow("random bytes") << QVariant(QByteArray::fromHex("deadbeef00112233445566"));
        QTest::newRow("text") << QVariant(QString("red"));
        QTest::newRow("number") << QVariant(42);
    }

    void colorRead()
    {
        QFETCH(QVariant, stored);
        storeRaw(SettingsKeys::redColor, stored);
        SettingsStore s;
        QCOMPARE(s.color(SettingsKeys::redColor, SettingsDefaults::systemRed),
                 SettingsDefaults::systemRed);
    }

    void colorRoundTrip_data()
    {
        QTest::addColumn<QColor>("color");
        QTest::newRow("system blue") << SettingsDefaults::systemBlue;
        QTest::newRow("translucent") << QColor(1, 2, 3, 4);
        QTest::newRow("16-bit components") << QColor::fromRgba64(65535, 1, 32768, 65534);
        QTest::newRow("from hsv") << QColor::fromHsv(200, 100, 50);
    }

    void colorRoundTrip()
    {
        QFETCH(QColor, color);
        SettingsStore().setColor(color, SettingsKeys::greenColor);
        SettingsStore fresh;
        QCOMPARE(fresh.color(SettingsKeys::greenColor, Qt::black), color.toRgb());
    }

    void invalidColorKeepsStoredValue()
    {
        SettingsStore s;
        s.setColor(QColor(1, 2, 3), SettingsKeys::redColor);
        s.setColor(QColor(), SettingsKeys::redColor);
        QCOMPARE(s.color(SettingsKeys::redColor, Qt::black), QColor(1, 2, 3));
    }

    void writesPersistAcrossStores()
    {
        {
            SettingsStore s;
            s.setInteger(5, SettingsKeys::markerFunctionKey);
            s.setString("é", SettingsKeys::redKey);
            s.setDouble(8.0, SettingsKeys::lineWidth);
        }
        SettingsStore s;
        QCOMPARE(s.value(SettingsKeys::markerFunctionKey, 8), 5);
        QCOMPARE(s.string(SettingsKeys::redKey, "q"), QString("é"));
        QCOMPARE(s.positiveDouble(SettingsKeys::lineWidth, 4.0), 8.0);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
