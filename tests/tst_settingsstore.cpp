// The settings file on a full disk, the form's checks and the hot keys their numbers register.
// register.

#include "hotkeys/hotkeycodes.h"
#include "settings/settingsstore.h"
#include "settings/settingsvalidation.h"
#include "testsupport.h"

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

    // A full disk is a file size limit of nothing: the store goes on with what the file holds.
    void fullDisk()
    {
        SettingsStore().setString("x", redKey);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit none{0, old.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &none), 0);
        SettingsStore store;
        store.setString("y", redKey);
        const QString reason = store.sync();
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);
        QVERIFY2(reason.contains(TestSupport::settingsFile()), qPrintable(reason));
        QCOMPARE(store.string(redKey, "q"), QString("x"));
    }

    // Rows give the two hot key titles ("-": none selected) and the five letters as typed; the
    // outcome is the message, or the letters as stored. The letter fuzzer covers repeats, which
    // message comes first, and what makes one character.
    void validate_data()
    {
        QTest::addColumn<QStringList>("form");
        QTest::addColumn<QString>("outcome");
        const QString sameKey("画笔和截图不能使用同一个 F 键。");
        const auto row = [](const char* name, QStringList form, QString outcome) {
            QTest::newRow(name) << form << outcome;
        };
        row("blanks around, upper case",
            {"F1", "F12", " \t\u3000\u00A0\u2028Q\u0085\u2029\r\n", "\u00C9", "笔", "\u216B",
             "\u0345"},
            "q|\u00e9|笔|\u217b|\u0345");
        row("no marker key", {"-", "F9", "q", "w", "e", "z", "c"}, sameKey);
        row("same key before letters", {"F8", "F8", "", "w", "e", "z", "c"}, sameKey);
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
