#include "app/alerts.h"
#include "settings/colorswatch.h"
#include "settings/settingsstore.h"
#include "settings/settingswindowcontroller.h"

#include <QColorDialog>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStandardPaths>
#include <QTest>

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

class RecordingAlerts : public Alerts
{
public:
    void showModal(const Alert&) override {}
    void showSheet(QWidget* window, const Alert& alert) override { sheets.append({window, alert}); }

    QList<std::pair<QWidget*, Alert>> sheets;
};

// A controller opened the way the application opens it.
struct Fixture {
    SettingsStore store;
    RecordingAlerts alerts;
    int saves = 0;
    SettingsWindowController c{store, alerts, [this] { ++saves; }};

    Fixture() { open(); }
    void open()
    {
        c.reload();
        c.window()->show();
    }
    QList<QLineEdit*> fields() const
    {
        return {c.redKey(), c.blueKey(), c.greenKey(), c.eraserKey(), c.clearKey()};
    }
    QStringList letters() const
    {
        QStringList texts;
        for (const QLineEdit* field : fields())
            texts.append(field->text());
        return texts;
    }
};

} // namespace

class TestSettingsWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
        raw.clear();
        raw.sync();
    }

    void firstOpeningShowsDefaults()
    {
        Fixture f;
        QCOMPARE(f.c.markerPopup()->currentText(), QString("F8"));
        QCOMPARE(f.c.screenshotPopup()->currentText(), QString("F9"));
        QCOMPARE(f.letters(), QStringList({"Q", "W", "E", "Z", "C"}));
        QCOMPARE(f.c.redSwatch()->color(), SettingsDefaults::systemRed);
        QCOMPARE(f.c.blueSwatch()->color(), SettingsDefaults::systemBlue);
        QCOMPARE(f.c.greenSwatch()->color(), SettingsDefaults::systemGreen);
        QCOMPARE(f.c.widthSlider()->value(), 400);
        QCOMPARE(f.c.widthLabel()->text(), QString("4 px"));
    }

    void storedMarkerKeyOutsideF1ToF12SelectsNothing()
    {
        SettingsStore().setInteger(13, SettingsKeys::markerFunctionKey);
        Fixture f;
        QCOMPARE(f.c.markerPopup()->currentIndex(), -1);
    }

    void width_data()
    {
        QTest::addColumn<double>("stored"); // 0 stores nothing
        QTest::addColumn<int>("moveTo");    // -1 leaves the slider as reloaded
        QTest::addColumn<int>("slider");
        QTest::addColumn<QString>("label");
        QTest::newRow("stored half kept unrounded") << 2.5 << -1 << 250 << "3 px";
        QTest::newRow("stored 0 falls back") << 0.0 << -1 << 400 << "4 px";
        QTest::newRow("stored above the range") << 1e300 << -1 << 1600 << "16 px";
        QTest::newRow("moved to 7.5") << 0.0 << 750 << 750 << "8 px";
        QTest::newRow("moved to 7.49") << 0.0 << 749 << 749 << "7 px";
    }

    void width()
    {
        QFETCH(double, stored);
        QFETCH(int, moveTo);
        QFETCH(int, slider);
        QFETCH(QString, label);
        if (stored != 0)
            SettingsStore().setDouble(stored, SettingsKeys::lineWidth);
        Fixture f;
        if (moveTo >= 0)
            f.c.widthSlider()->setValue(moveTo);
        QCOMPARE(f.c.widthSlider()->value(), slider);
        QCOMPARE(f.c.widthLabel()->text(), label);
    }

    void refusedSave_data()
    {
        QTest::addColumn<int>("screenshotIndex");
        QTest::addColumn<QStringList>("letters");
        QTest::addColumn<QString>("message");
        const QStringList good{"Q", "W", "E", "Z", "C"};
        QTest::newRow("same F key") << 7 << good << "画笔和截图不能使用同一个 F 键。";
        QTest::newRow("no F key selected") << -1 << good << "画笔和截图不能使用同一个 F 键。";
        QTest::newRow("not a letter")
            << 8 << QStringList{"Q", "W", "12", "Z", "C"} << "画笔内部快捷键必须是单个字母。";
        QTest::newRow("repeated") << 8 << QStringList{"Q", "W", "E", "q ", "C"}
                                  << "画笔内部快捷键不能重复。";
    }

    void refusedSave()
    {
        QFETCH(int, screenshotIndex);
        QFETCH(QStringList, letters);
        QFETCH(QString, message);
        Fixture f;
        f.store.setInteger(5, SettingsKeys::markerFunctionKey);
        const QVariantMap before = snapshot();
        f.c.screenshotPopup()->setCurrentIndex(screenshotIndex);
        for (int i = 0; i < letters.size(); ++i)
            f.fields()[i]->setText(letters[i]);
        f.c.widthSlider()->setValue(750);

        f.c.saveButton()->click();

        QCOMPARE(f.alerts.sheets.size(), 1);
        QCOMPARE(f.alerts.sheets[0].first, f.c.window());
        QCOMPARE(f.alerts.sheets[0].second.messageText, QString("设置无法保存"));
        QCOMPARE(f.alerts.sheets[0].second.informativeText, message);
        QCOMPARE(snapshot(), before);
        QCOMPARE(f.saves, 0);
        QVERIFY(f.c.window()->isVisible());
        QCOMPARE(f.letters(), letters);
        QCOMPARE(f.c.screenshotPopup()->currentIndex(), screenshotIndex);
        QCOMPARE(f.c.widthSlider()->value(), 750);
    }

    void successfulSaveWritesEverything()
    {
        Fixture f;
        f.c.markerPopup()->setCurrentIndex(2);
        f.c.screenshotPopup()->setCurrentIndex(10);
        const QStringList typed{" A ", "b", "\u00C9", "X", "\u3000k"};
        for (int i = 0; i < typed.size(); ++i)
            f.fields()[i]->setText(typed[i]);
        f.c.redSwatch()->setColor(Qt::darkRed);
        f.c.blueSwatch()->setColor(Qt::cyan);
        f.c.greenSwatch()->setColor(Qt::yellow);
        f.c.widthSlider()->setValue(750);
        // The application re-reads the store from onSave, so everything must be there by then.
        QVariantMap seenBySave;
        f.c.onSave = [&] {
            ++f.saves;
            seenBySave = snapshot();
        };

        f.c.saveSettings();

        QCOMPARE(f.saves, 1);
        QVERIFY(f.alerts.sheets.isEmpty());
        QVERIFY(!f.c.window()->isVisible());
        QCOMPARE(seenBySave.size(), 11);
        QCOMPARE(seenBySave, snapshot());
        SettingsStore& s = f.store;
        QCOMPARE(s.value(SettingsKeys::markerFunctionKey, 0), 3);
        QCOMPARE(s.value(SettingsKeys::screenshotFunctionKey, 0), 11);
        QCOMPARE(s.string(SettingsKeys::redKey, {}), QString("a"));
        QCOMPARE(s.string(SettingsKeys::greenKey, {}), QString("\u00E9"));
        QCOMPARE(s.string(SettingsKeys::clearKey, {}), QString("k"));
        QCOMPARE(s.positiveDouble(SettingsKeys::lineWidth, 0), 8.0);
        // Read back through the form: each control is paired with its own key.
        f.open();
        QCOMPARE(f.c.markerPopup()->currentText(), QString("F3"));
        QCOMPARE(f.c.screenshotPopup()->currentText(), QString("F11"));
        QCOMPARE(f.letters(), QStringList({"A", "B", "\u00C9", "X", "K"}));
        QCOMPARE(f.c.redSwatch()->color(), QColor(Qt::darkRed));
        QCOMPARE(f.c.blueSwatch()->color(), QColor(Qt::cyan));
        QCOMPARE(f.c.greenSwatch()->color(), QColor(Qt::yellow));
        QCOMPARE(f.c.widthSlider()->value(), 800);
    }

    void cancelThenReloadDiscardsEdits()
    {
        Fixture f;
        f.c.markerPopup()->setCurrentIndex(0);
        f.c.redKey()->setText("m");
        f.c.redSwatch()->setColor(Qt::black);
        f.c.widthSlider()->setValue(1200);

        f.c.cancelButton()->click();
        QVERIFY(!f.c.window()->isVisible());
        QVERIFY(snapshot().isEmpty());

        f.open();
        QCOMPARE(f.c.markerPopup()->currentText(), QString("F8"));
        QCOMPARE(f.c.redKey()->text(), QString("Q"));
        QCOMPARE(f.c.redSwatch()->color(), SettingsDefaults::systemRed);
        QCOMPARE(f.c.widthLabel()->text(), QString("4 px"));
    }

    void returnInLetterFieldSaves_data()
    {
        QTest::addColumn<Qt::Key>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("return") << Qt::Key_Return << Qt::KeyboardModifiers();
        QTest::newRow("keypad enter") << Qt::Key_Enter << Qt::KeyboardModifiers(Qt::KeypadModifier);
    }

    void returnInLetterFieldSaves()
    {
        QFETCH(Qt::Key, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        Fixture f;
        f.c.window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.c.window()));
        f.c.eraserKey()->setFocus();
        f.c.eraserKey()->setText("v");

        QTest::keyClick(f.c.eraserKey(), key, modifiers);

        QCOMPARE(f.saves, 1);
        QVERIFY(!f.c.window()->isVisible());
        QCOMPARE(f.store.string(SettingsKeys::eraserKey, {}), QString("v"));
    }

    void swatchPicksWithoutBlocking()
    {
        Fixture f;
        ColorSwatch* swatch = f.c.greenSwatch();
        swatch->click();
        QColorDialog* dialog = swatch->dialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->currentColor(), SettingsDefaults::systemGreen);
        dialog->setCurrentColor(QColor(10, 20, 30));
        dialog->accept();
        QCOMPARE(swatch->color(), QColor(10, 20, 30));

        swatch->click();
        dialog->setCurrentColor(Qt::white);
        dialog->reject();
        QCOMPARE(swatch->color(), QColor(10, 20, 30));
    }
};

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
