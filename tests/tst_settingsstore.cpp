// The settings as stored, as the form checks them, and the hot keys their numbers register.

#include "hotkeys/hotkeycodes.h"
#include "settings/settingsstore.h"
#include "settings/settingsvalidation.h"
#include "testsupport.h"

#include <QDir>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <limits>
#include <sys/resource.h>

using namespace SettingsKeys;

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestSupport::isolateSettings()); }
    void init() { TestSupport::clearSettings(); }

    // Values as a hand edit or another version could leave them; the key picks the typed read.
    void read_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("int fraction truncates")
            << markerFunctionKey << QVariant(7.9) << QVariant(7);
        QTest::newRow("int huge") << markerFunctionKey << QVariant("1e300") << QVariant(0);
        QTest::newRow("width from text") << lineWidth << QVariant("7.25") << QVariant(7.25);
        QTest::newRow("width zero") << lineWidth << QVariant(0.0) << QVariant(4.0);
        QTest::newRow("letter bytes") << blueKey << QVariant(QByteArray("x")) << QVariant("w");
    }

    void read()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        TestSupport::storeRaw(key, stored);
        const SettingsStore s;
        const QVariant actual = key == markerFunctionKey ? QVariant(s.value(key, 8))
                                : key == lineWidth       ? QVariant(s.positiveDouble(key, 4.0))
                                                         : QVariant(s.string(key, "w"));
        QCOMPARE(actual, expected);
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

    // Rows give the two hot key titles ("-": none selected) and the five letters as typed; the
    // outcome is the message, or the letters as stored. The letter fuzzer covers repeats and
    // what makes one character.
    void validate_data()
    {
        QTest::addColumn<QStringList>("form");
        QTest::addColumn<QString>("outcome");
        const QString sameKey("画笔和截图不能使用同一个 F 键。"),
            notALetter("画笔内部快捷键必须是单个字母。");
        const auto row = [](const char* name, QStringList form, QString outcome) {
            QTest::newRow(name) << form << outcome;
        };
        row("blanks around, upper case",
            {"F1", "F12", " \t\u3000\u00A0\u2028Q\u0085\u2029\r\n", "\u00C9", "笔", "\u216B",
             "\u0345"},
            "q|\u00e9|笔|\u217b|\u0345");
        row("digit", {"F8", "F9", "a", "b", "1", "d", "f"}, notALetter);
        row("no marker key", {"-", "F9", "q", "w", "e", "z", "c"}, sameKey);
        row("no screenshot number", {"F8", "F", "q", "w", "e", "z", "c"}, sameKey);
        row("same key before letters", {"F8", "F8", "", "w", "e", "z", "c"}, sameKey);
        row("non-letter before duplicate", {"F8", "F9", "q", "q", "e", "z", "?"}, notALetter);
    }

    void validate()
    {
        QFETCH(QStringList, form);
        const auto title = [](const QString& t) {
            return t == "-" ? std::nullopt : std::optional(t);
        };
        const auto result = SettingsValidation::validate(
            {title(form[0]), title(form[1]), form[2], form[3], form[4], form[5], form[6]});
        const ValidSettings* valid = std::get_if<ValidSettings>(&result);
        const QString outcome = valid ? QStringList{valid->redKey, valid->blueKey, valid->greenKey,
                                                    valid->eraserKey, valid->clearKey}
                                            .join('|')
                                      : std::get<QString>(result);
        QTEST(outcome, "outcome");
    }

    // Each of F1 to F12 has a code of its own that leads back to it; any other number, even one
    // whose low 32 bits are a real key's, registers F9.
    void functionKeys()
    {
        for (int n = 1; n <= 12; ++n)
            QCOMPARE(functionKeyNumber(functionKeyCode(n)), n);
        QCOMPARE(functionKeyCode(qint64(1) << 32 | 8), functionKeyCode(9));
        QCOMPARE(functionKeyCode(std::numeric_limits<qint64>::min()), functionKeyCode(9));
        QCOMPARE(functionKeyNumber(functionKeyCode(1) + 256), 0);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
