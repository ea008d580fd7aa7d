#include "hotkeys/hotkeycodes.h"

#include <QTest>

#include <limits>

class TestHotKeyCodes : public QObject
{
    Q_OBJECT

private slots:
    void fourCharCode_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("signature") << "VLMK" << HotKeyIDs::signature;
        QTest::newRow("longer keeps last four") << "ABCDEF" << quint32(0x43444546);
        QTest::newRow("empty") << "" << quint32(0);
        QTest::newRow("UTF-8 bytes, unsigned") << QString::fromUtf8("xé") << quint32(0x78C3A9);
    }

    void fourCharCode()
    {
        QFETCH(QString, text);
        QFETCH(quint32, expected);
        QCOMPARE(::fourCharCode(text), expected);
    }

    void functionKeyCode_data()
    {
        QTest::addColumn<qint64>("number");
        QTest::addColumn<quint32>("code");
        const quint32 codes[] = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111};
        for (int n = 1; n <= 12; ++n)
            QTest::addRow("F%d", n) << qint64(n) << codes[n - 1];
        QTest::newRow("min") << std::numeric_limits<qint64>::min() << quint32(101);
        QTest::newRow("low bits 8") << (qint64(1) << 32 | 8) << quint32(101);
    }

    void functionKeyCode()
    {
        QFETCH(qint64, number);
        QFETCH(quint32, code);
        QCOMPARE(::functionKeyCode(number), code);
        if (number >= 1 && number <= 12)
            QCOMPARE(functionKeyNumber(code), int(number));
    }

    void functionKeyNumberOfOtherCodes_data()
    {
        QTest::addColumn<quint32>("code");
        QTest::newRow("0") << quint32(0);
        QTest::newRow("102, between F9 and F11") << quint32(102);
        QTest::newRow("F1's code + 256") << quint32(122 + 256);
        QTest::newRow("max") << std::numeric_limits<quint32>::max();
    }

    void functionKeyNumberOfOtherCodes()
    {
        QFETCH(quint32, code);
        QCOMPARE(functionKeyNumber(code), 0);
    }
};

QTEST_GUILESS_MAIN(TestHotKeyCodes)
#include "tst_hotkeycodes.moc"
