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
    return std::holds_alternative<QString>(result) ? std::get<QString>(result) : QString();
}

} // namespace

class TestSettingsValidation : public QObject
{
    Q_OBJECT

private slots:
    // One field at a time, the others holding distinct plain letters.
    void letter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored"); // null when refused
        auto row = [](auto name, QString in, QString out) { QTest::newRow(name) << in << out; };
        row("blanks around", " \t\u3000\u00A0\u2028q\u0085\u2029\r\n", "q");
        row("upper case", "Q", "q");
        row("é precomposed", "\u00C9", "\u00E9");
        row("é decomposed", "E\u0301 ", "e\u0301");
        row("CJK", "笔", "笔");
        row("roman numeral twelve", "\u216B", "\u217B");
        row("ypogegrammeni", "\u0345", "\u0345");
        row("empty", "", QString());
        row("two letters", "qq", QString());
        row("digit", "1", QString());
        row("question mark", "?", QString());
        row("space", " ", QString());
        row("emoji", "\U0001F600", QString());
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
        const auto row = [](const char* name, const QString& marker, const QString& screenshot,
                            const QStringList& letters, const QString& message) {
            QTest::newRow(name) << marker << screenshot << letters << message;
        };
        const QStringList good{"q", "w", "e", "z", "c"};
        row("no marker key", QString(), "F9", good, sameKey);
        row("no screenshot number", "F8", "F", good, sameKey);
        row("same key before letters", "F8", "F8", {"", "w", "e", "z", "c"}, sameKey);
        row("non-letter before duplicate", "F8", "F9", {"q", "q", "e", "z", "?"}, notALetter);
        row("duplicate after lower-casing", "F8", "F9", {"q", "w", "e", "z", "Q"}, repeated);
        row("duplicate in two spellings", "F8", "F9", {"\u00E9", "w", "e", "z", "e\u0301"},
            repeated);
        row("accepted", "F1", "F12", good, QString());
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
};

QTEST_GUILESS_MAIN(TestSettingsValidation)
#include "tst_settingsvalidation.moc"
