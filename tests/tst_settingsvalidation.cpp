#include "settings/settingsvalidation.h"

#include <QTest>

using namespace SettingsValidation;

namespace
{

const QString sameKey = QStringLiteral("画笔和截图不能使用同一个 F 键。");
const QString notALetter = QStringLiteral("画笔内部快捷键必须是单个字母。");
const QString repeated = QStringLiteral("画笔内部快捷键不能重复。");

// Rows spell "no title selected" as a null string.
std::optional<QString> titleOf(const QString& text)
{
    return text.isNull() ? std::nullopt : std::optional(text);
}

QString messageOf(const std::variant<ValidSettings, QString>& result)
{
    const auto* message = std::get_if<QString>(&result);
    return message ? *message : QString();
}

} // namespace

class TestSettingsValidation : public QObject
{
    Q_OBJECT

private slots:
    void functionNumberOfTitle_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<qint64>("number"); // -1 for none
        QTest::newRow("F8") << "F8" << qint64(8);
        QTest::newRow("F12") << "F12" << qint64(12);
        QTest::newRow("F alone") << "F" << qint64(-1);
        QTest::newRow("no title") << QString() << qint64(-1);
        QTest::newRow("plus sign") << "F+7" << qint64(7);
        QTest::newRow("minus sign") << "F-3" << qint64(-3);
        QTest::newRow("sign alone") << "F-" << qint64(-1);
        QTest::newRow("largest") << "F9223372036854775807" << qint64(9223372036854775807);
        QTest::newRow("overflow") << "F9223372036854775808" << qint64(-1);
        QTest::newRow("arabic digit") << "F\u0663" << qint64(-1);
        QTest::newRow("inner space") << "F1 2" << qint64(-1);
        QTest::newRow("trailing space") << "F8 " << qint64(-1);
        QTest::newRow("surrogate pair first") << "\U0001F600"
                                                 "7"
                                              << qint64(7);
    }

    void functionNumberOfTitle()
    {
        QFETCH(QString, title);
        QFETCH(qint64, number);
        QCOMPARE(functionNumber(titleOf(title)).value_or(-1), number);
    }

    // One field at a time, the others holding distinct plain letters.
    void letter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored"); // null when refused
        QTest::newRow("blanks around") << " \tq\r\n"
                                       << "q";
        QTest::newRow("ideographic space") << "\u3000q\u3000"
                                           << "q";
        QTest::newRow("no-break space") << "\u00A0q\u00A0"
                                        << "q";
        QTest::newRow("line separators") << "\u2028q\u0085\u2029"
                                         << "q";
        QTest::newRow("upper case") << "Q"
                                    << "q";
        QTest::newRow("é precomposed") << "\u00C9"
                                       << "\u00E9";
        QTest::newRow("é decomposed") << "E\u0301 "
                                      << "e\u0301";
        QTest::newRow("CJK") << "笔"
                             << "笔";
        QTest::newRow("roman numeral twelve") << "\u216B"
                                              << "\u217B";
        QTest::newRow("ypogegrammeni") << "\u0345"
                                       << "\u0345";
        QTest::newRow("empty") << "" << QString();
        QTest::newRow("two letters") << "qq" << QString();
        QTest::newRow("digit") << "1" << QString();
        QTest::newRow("question mark") << "?" << QString();
        QTest::newRow("space") << " " << QString();
        QTest::newRow("emoji") << "\U0001F600" << QString();
    }

    void letter()
    {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        const auto result = validate({"F8", "F9", "a", "b", typed, "d", "f"});
        QCOMPARE(messageOf(result), stored.isNull() ? notALetter : QString());
        if (!stored.isNull())
            QCOMPARE(std::get<ValidSettings>(result).greenKey, stored);
    }

    void firstFailureWins_data()
    {
        QTest::addColumn<QString>("marker");
        QTest::addColumn<QString>("screenshot");
        QTest::addColumn<QStringList>("letters");
        QTest::addColumn<QString>("message");
        const QStringList good{"q", "w", "e", "z", "c"};
        QTest::newRow("no marker key") << QString() << "F9" << good << sameKey;
        QTest::newRow("no screenshot number") << "F8"
                                              << "F" << good << sameKey;
        QTest::newRow("same key before letters")
            << "F8"
            << "F8" << QStringList{"", "w", "e", "z", "c"} << sameKey;
        QTest::newRow("non-letter before duplicate")
            << "F8"
            << "F9" << QStringList{"q", "q", "e", "z", "?"} << notALetter;
        QTest::newRow("duplicate after lower-casing")
            << "F8"
            << "F9" << QStringList{"q", "w", "e", "z", "Q"} << repeated;
        QTest::newRow("duplicate in two spellings")
            << "F8"
            << "F9" << QStringList{"\u00E9", "w", "e", "z", "e\u0301"} << repeated;
        QTest::newRow("accepted") << "F1"
                                  << "F12" << good << QString();
    }

    void firstFailureWins()
    {
        QFETCH(QString, marker);
        QFETCH(QString, screenshot);
        QFETCH(QStringList, letters);
        QFETCH(QString, message);
        const auto result = validate({titleOf(marker), titleOf(screenshot), letters[0], letters[1],
                                      letters[2], letters[3], letters[4]});
        QCOMPARE(messageOf(result), message);
    }

    void widthRounding_data()
    {
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("rounded");
        QTest::newRow("half up") << 7.5 << 8.0;
        QTest::newRow("just below half") << 7.49 << 7.0;
        QTest::newRow("small fraction") << 1.2 << 1.0;
        QTest::newRow("whole") << 16.0 << 16.0;
        QTest::newRow("even half goes up too") << 2.5 << 3.0;
    }

    void widthRounding()
    {
        QFETCH(double, width);
        QFETCH(double, rounded);
        QCOMPARE(roundedWidth(width), rounded);
    }
};

QTEST_GUILESS_MAIN(TestSettingsValidation)
#include "tst_settingsvalidation.moc"
