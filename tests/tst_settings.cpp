// The settings form as the user fills it in, on a full disk too, and the hot keys the stored
// numbers register.

#include "desktop/alerts.h"
#include "hotkeys/hotkeycodes.h"
#include "settings/colorswatch.h"
#include "settings/settingsstore.h"
#include "settings/settingswindowcontroller.h"
#include "testsupport.h"

#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSlider>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace
{

// Everything in the settings file, so that any stray write shows.
QVariantMap snapshot()
{
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
    QVariantMap values;
    for (const QString& key : raw.allKeys())
        values.insert(key, raw.value(key));
    return values;
}

// A controller opened the way the application opens it, with the sheets it shows.
struct Fixture : Alerts {
    SettingsStore store;
    int saves = 0;
    SettingsWindowController c{store, *this, [this] { ++saves; }};
    QStringList sheets; // where|title|message
    QList<QLineEdit*> fields{c.redKey(), c.blueKey(), c.greenKey(), c.eraserKey(), c.clearKey()};

    Fixture() { open(); }
    void showModal(const Alert&) override {}
    void showSheet(QWidget* window, const Alert& alert) override
    {
        sheets << QStringList{window == c.window() ? "window" : "elsewhere", alert.messageText,
                              alert.informativeText}
                      .join('|');
    }
    void open()
    {
        c.reload();
        c.window()->show();
        c.window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(c.window()));
    }
    // Both popups, the five letters, the three colours, the slider and its label.
    QStringList shown() const
    {
        QStringList s{c.markerPopup()->currentText(), c.screenshotPopup()->currentText()};
        for (const QLineEdit* field : fields)
            s << field->text();
        for (const ColorSwatch* swatch : {c.redSwatch(), c.blueSwatch(), c.greenSwatch()})
            s << swatch->color().name();
        return s << QString::number(c.widthSlider()->value()) << c.widthLabel()->text();
    }
};

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestSupport::isolateSettings()); }
    void init() { TestSupport::clearSettings(); }

    void refusedSave_data()
    {
        QTest::addColumn<int>("markerIndex"); // -1: none, as for a hand-edited F13
        QTest::addColumn<QString>("letter");  // typed as the blue pen's
        QTest::addColumn<QString>("message");
        const QString sameKey("画笔和截图不能使用同一个 F 键。");
        QTest::newRow("settings file is a folder")
            << 7 << "W"
            << QString("“%1”是一个文件夹，设置无法写入。").arg(TestSupport::settingsFile());
        // The keys are checked before the letters.
        QTest::newRow("same F key, a letter missing") << 8 << "" << sameKey;
        QTest::newRow("no F key") << -1 << "W"
                                  << "请为画笔和截图各选择一个 F 键。";
        QTest::newRow("not a letter") << 7 << "12"
                                      << "画笔内部快捷键必须是单个字母。";
        // A file size limit of nothing: the store goes on with what the file holds.
        QTest::newRow("disk full")
            << 7 << "W"
            << QString("无法写入设置文件“%1”，磁盘可能已满。").arg(TestSupport::settingsFile());
    }

    void refusedSave()
    {
        QFETCH(int, markerIndex);
        QFETCH(QString, letter);
        QFETCH(QString, message);
        SettingsStore().setString("v", SettingsKeys::blueKey); // what the file holds
        if (message.contains("文件夹")) {
            QFile::remove(TestSupport::settingsFile());
            QVERIFY(QDir().mkpath(TestSupport::settingsFile()));
        }
        const auto restore = qScopeGuard([] { QDir().rmdir(TestSupport::settingsFile()); });
        Fixture f;
        f.c.markerPopup()->setCurrentIndex(markerIndex);
        f.fields[1]->setText(letter);
        f.c.widthSlider()->setValue(750);
        const QStringList typed = f.shown();
        const QVariantMap stored = snapshot();

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const rlimit room{message.contains("磁盘") ? 0 : old.rlim_cur, old.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &room), 0);
        QTest::keyClick(f.c.eraserKey(), Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &old), 0);

        QCOMPARE(f.sheets, QStringList{"window|设置无法保存|" + message});
        QVERIFY(snapshot() == stored && f.saves == 0 && f.c.window()->isVisible());
        QCOMPARE(f.shown(), typed);
    }

    // Cancel writes nothing; the next opening shows the store, a width clamped before it reaches
    // the slider's int, and a stored ß as ß, not SS, which is no single letter. A save then
    // writes everything, the ß untouched; a Roman numeral counts as a letter.
    void cancelThenSave()
    {
        SettingsStore().setString("ß", SettingsKeys::eraserKey);
        Fixture f;
        f.c.markerPopup()->setCurrentIndex(0);
        f.fields[0]->setText("m");
        f.c.redSwatch()->setColor(Qt::black);
        f.c.widthSlider()->setValue(1200);
        f.c.cancelButton()->click();
        QVERIFY(!f.c.window()->isVisible() && snapshot().size() == 1);
        f.store.setDouble(1e300, SettingsKeys::lineWidth);
        f.open();
        QCOMPARE(f.shown(), (QStringList{"F8", "F9", "Q", "W", "E", "ß", "C", "#ff3b30", "#007aff",
                                         "#34c759", "1600", "16 px"}));
        f.c.markerPopup()->setCurrentIndex(2);
        f.c.screenshotPopup()->setCurrentIndex(10);
        const QStringList letters{" A ", "\u216B", "\u00C9", QString(), "\u3000k"};
        for (int i = 0; i < letters.size(); ++i)
            if (!letters[i].isNull())
                f.fields[i]->setText(letters[i]);
        // Picked the way the user picks it; the click must not wait for the dialog.
        f.c.redSwatch()->click();
        f.c.redSwatch()->dialog()->setCurrentColor(Qt::darkRed);
        f.c.redSwatch()->dialog()->accept();
        f.c.blueSwatch()->setColor(Qt::cyan);
        f.c.greenSwatch()->setColor(Qt::yellow);
        f.c.widthSlider()->setValue(750);
        // The application re-reads the store from onSave, so everything must be there by then.
        QList<QVariantMap> seenBySave;
        f.c.onSave = [&] { seenBySave << snapshot(); };

        QTest::keyClick(f.c.eraserKey(), Qt::Key_Return);

        QCOMPARE(seenBySave, QList<QVariantMap>{snapshot()});
        QVERIFY(f.sheets.isEmpty() && !f.c.window()->isVisible());
        // Stored in lower case; the form shows letters in upper case.
        QCOMPARE(f.store.string(SettingsKeys::redKey, {}), QString("a"));
        // Read back through the form: each control is paired with its own key.
        f.open();
        const QStringList saved{"F3", "F11",     "A",       "\u216B",  "\u00C9", "ß",
                                "K",  "#800000", "#00ffff", "#ffff00", "800",    "8 px"};
        QCOMPARE(f.shown(), saved);
    }

    // Each of F1 to F12 has a code of its own that leads back to it; a hand-edited F13 registers
    // F9.
    void functionKeys()
    {
        for (int n = 1; n <= 12; ++n)
            QCOMPARE(functionKeyNumber(functionKeyCode(n)), n);
        QCOMPARE(functionKeyCode(13), functionKeyCode(9));
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
