// The overlay's content: the toolbar's titles, colours and place, what its buttons and the canvas
// raise, and that the panel keeps presses away from the canvas below it.

#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

namespace
{

QList<QPushButton*> toolbarButtons(const OverlayContentView& view)
{
    QList<QPushButton*> buttons;
    QLayout* row = view.toolbar()->layout();
    for (int i = 0; i < row->count(); ++i) {
        if (auto* b = qobject_cast<QPushButton*>(row->itemAt(i)->widget()))
            buttons << b;
    }
    return buttons;
}

void logCommands(OverlayContentView& view, QStringList& log)
{
    view.onPreset = [&log](int i) { log << QString("preset%1").arg(i); };
    view.onEraser = [&log] { log << "eraser"; };
    view.onClear = [&log] { log << "clear"; };
    view.onSettings = [&log] { log << "settings"; };
    view.onExit = [&log] { log << "exit"; };
}

void showOnLeftScreen(QWidget& view, QSize size)
{
    view.setGeometry(QRect(QGuiApplication::primaryScreen()->geometry().topLeft(), size));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
}

void drawStroke(QWidget* canvas, const QList<QPointF>& points)
{
    const auto send = [canvas](QEvent::Type type, QPointF p, Qt::MouseButton button,
                               Qt::MouseButtons buttons) {
        QMouseEvent e(type, p, canvas->mapToGlobal(p), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(canvas, &e);
    };
    send(QEvent::MouseButtonPress, points.first(), Qt::LeftButton, Qt::LeftButton);
    for (qsizetype i = 1; i < points.size(); ++i)
        send(QEvent::MouseMove, points[i], Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, points.last(), Qt::LeftButton, Qt::NoButton);
}

} // namespace

class TestOverlayContentView : public QObject
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

    void toolbarTitlesAndColours_data()
    {
        QTest::addColumn<QVariantMap>("letters");
        QTest::addColumn<bool>("storeColors");
        QTest::addColumn<QList<QColor>>("colors");
        QTest::addColumn<QStringList>("titles");

        QTest::newRow("defaults") << QVariantMap() << false
                                  << QList<QColor>{SettingsDefaults::systemRed,
                                                   SettingsDefaults::systemBlue,
                                                   SettingsDefaults::systemGreen}
                                  << QStringList{"● Q",    "● W",  "● E",     "橡皮 Z",
                                                 "清屏 C", "设置", "右键退出"};
        QTest::newRow("stored") << QVariantMap{{SettingsKeys::blueKey, "a"},
                                               {SettingsKeys::eraserKey, "x"},
                                               {SettingsKeys::clearKey, "K"}}
                                << true
                                << QList<QColor>{QColor(10, 20, 30), QColor(200, 100, 0),
                                                 QColor(90, 0, 160)}
                                << QStringList{"● Q",    "● A",  "● E",     "橡皮 X",
                                               "清屏 K", "设置", "右键退出"};
    }

    void toolbarTitlesAndColours()
    {
        QFETCH(QVariantMap, letters);
        QFETCH(bool, storeColors);
        QFETCH(QList<QColor>, colors);
        QFETCH(QStringList, titles);

        SettingsStore settings;
        for (auto it = letters.cbegin(); it != letters.cend(); ++it)
            settings.setString(it.value().toString(), it.key());
        const QStringList colorKeys{SettingsKeys::redColor, SettingsKeys::blueColor,
                                    SettingsKeys::greenColor};
        if (storeColors) {
            for (int i = 0; i < 3; ++i)
                settings.setColor(colors[i], colorKeys[i]);
        }

        OverlayContentView view(settings, true);
        QVERIFY(view.toolbar());
        const QList<QPushButton*> buttons = toolbarButtons(view);
        QStringList shown;
        for (QPushButton* b : buttons)
            shown << b->text();
        QCOMPARE(shown, titles);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(buttons[i]->palette().color(QPalette::ButtonText), colors[i]);
            QCOMPARE(buttons[i]->font().pixelSize(), 13);
            QCOMPARE(buttons[i]->font().weight(), QFont::DemiBold);
        }
    }

    void toolbarCentredNearTheTopAndCanvasFills()
    {
        SettingsStore settings;
        OverlayContentView view(settings, true);
        showOnLeftScreen(view, {1000, 600});
        for (const QSize size : {QSize(1000, 600), QSize(1281, 700)}) {
            view.resize(size);
            const QRect bar = view.toolbar()->geometry();
            QVERIFY(bar.width() > 0 && bar.width() < size.width());
            QCOMPARE(bar.top(), 18);
            QCOMPARE(bar.left(), (size.width() - bar.width()) / 2);
            QCOMPARE(view.drawingView()->geometry(), QRect(QPoint(0, 0), size));
        }
    }

    void noToolbarWhenNotAsked()
    {
        SettingsStore settings;
        OverlayContentView view(settings, false);
        showOnLeftScreen(view, {800, 500});
        QVERIFY(!view.toolbar());
        QVERIFY(view.findChildren<QPushButton*>().isEmpty());
        QCOMPARE(view.drawingView()->geometry(), view.rect());
    }

    void buttonClicks_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("command");
        QTest::newRow("first pen") << 0 << "preset0";
        QTest::newRow("second pen") << 1 << "preset1";
        QTest::newRow("third pen") << 2 << "preset2";
        QTest::newRow("eraser") << 3 << "eraser";
        QTest::newRow("clear") << 4 << "clear";
        QTest::newRow("settings") << 5 << "settings";
        QTest::newRow("exit") << 6 << "exit";
    }

    void buttonClicks()
    {
        QFETCH(int, index);
        QFETCH(QString, command);
        SettingsStore settings;
        OverlayContentView view(settings, true);
        QStringList log;
        logCommands(view, log);
        showOnLeftScreen(view, {1000, 600});

        // Through the window, so the click lands on whatever is on top there.
        QPushButton* b = toolbarButtons(view).at(index);
        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {},
                          b->mapTo(&view, b->rect().center()));
        QCOMPARE(log, QStringList{command});
        QVERIFY(view.drawingView()->strokes().isEmpty());
    }

    void panelBackgroundKeepsPressesFromTheCanvas_data()
    {
        QTest::addColumn<bool>("eraser");
        QTest::addColumn<int>("strokesAfterCanvasClick");
        QTest::newRow("pen") << false << 2;
        QTest::newRow("eraser") << true << 0;
    }

    void panelBackgroundKeepsPressesFromTheCanvas()
    {
        QFETCH(bool, eraser);
        QFETCH(int, strokesAfterCanvasClick);
        SettingsStore settings;
        OverlayContentView view(settings, true);
        QStringList log;
        logCommands(view, log);
        showOnLeftScreen(view, {1000, 600});
        DrawingView* canvas = view.drawingView();

        const QList<QPushButton*> buttons = toolbarButtons(view);
        const QRect first = buttons[0]->geometry(), second = buttons[1]->geometry();
        const QPoint inPanel((first.right() + second.left()) / 2, first.center().y());
        QVERIFY(!view.toolbar()->childAt(inPanel));
        const QPoint gap = view.toolbar()->mapTo(&view, inPanel);
        // A stroke from under the gap down into the open canvas.
        const QPoint below(gap.x(), 300);
        drawStroke(canvas, {gap, below});
        const QList<QPointF> points = canvas->strokes()[0].points;
        if (eraser)
            canvas->useEraser();

        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {}, gap);
        QCOMPARE(canvas->strokes().size(), 1);
        QCOMPARE(canvas->strokes()[0].points, points);
        QVERIFY(log.isEmpty());

        // The same click on open canvas does reach it.
        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {}, below);
        QCOMPARE(canvas->strokes().size(), strokesAfterCanvasClick);
    }

    void canvasCommandsRelayed_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("command");
        QTest::newRow("w") << int(Qt::Key_W) << "preset1";
        QTest::newRow("z") << int(Qt::Key_Z) << "eraser";
        QTest::newRow("c") << int(Qt::Key_C) << "clear";
        QTest::newRow("Escape") << int(Qt::Key_Escape) << "exit";
        QTest::newRow("right click") << 0 << "exit";
    }

    void canvasCommandsRelayed()
    {
        QFETCH(int, key);
        QFETCH(QString, command);
        SettingsStore settings;
        OverlayContentView view(settings, true);
        QStringList log;
        logCommands(view, log);
        showOnLeftScreen(view, {1000, 600});
        if (key)
            QTest::keyClick(view.drawingView(), Qt::Key(key));
        else
            QTest::mouseClick(view.windowHandle(), Qt::RightButton, {}, QPoint(500, 400));
        QCOMPARE(log, QStringList{command});
    }
};

QTEST_MAIN(TestOverlayContentView)
#include "tst_overlaycontentview.moc"
