// The overlay's content: the toolbar's titles, colours and place, what its buttons and the canvas
// raise, and that the panel keeps presses away from the canvas below it.

#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <algorithm>

namespace
{

// Left to right, as the user sees them.
QList<QPushButton*> buttons(const OverlayContentView& view)
{
    auto found = view.toolbar()->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly);
    std::sort(found.begin(), found.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
    return found;
}

void showOnLeftScreen(QWidget& view, QSize size = {1000, 600})
{
    view.setGeometry(QRect(QGuiApplication::primaryScreen()->geometry().topLeft(), size));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
}

} // namespace

class TestOverlayContentView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestSupport::isolateSettings()); }
    void init() { TestSupport::clearSettings(); }

    void toolbarTitlesAndColours_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QString>("titles");
        QTest::addColumn<QList<QColor>>("colors");
        using namespace SettingsDefaults;
        QTest::newRow("defaults") << false << QString("● Q|● W|● E|橡皮 Z|清屏 C|设置|右键退出")
                                  << QList<QColor>{systemRed, systemBlue, systemGreen};
        // ß would become SS, which is no single letter.
        QTest::newRow("stored") << true << QString("● Q|● ß|● E|橡皮 X|清屏 K|设置|右键退出")
                                << QList<QColor>{Qt::darkCyan, Qt::darkYellow, Qt::darkMagenta};
    }

    void toolbarTitlesAndColours()
    {
        QFETCH(bool, stored);
        QFETCH(QList<QColor>, colors);
        SettingsStore settings;
        if (stored) {
            settings.setString("ß", SettingsKeys::blueKey);
            settings.setString("x", SettingsKeys::eraserKey);
            settings.setString("K", SettingsKeys::clearKey);
            settings.setColor(colors[0], SettingsKeys::redColor);
            settings.setColor(colors[1], SettingsKeys::blueColor);
            settings.setColor(colors[2], SettingsKeys::greenColor);
        }
        OverlayContentView view(settings, true);
        QStringList shown;
        for (QPushButton* b : buttons(view))
            shown << b->text();
        QTEST(shown.join('|'), "titles");
        // The dot is painted in the pen's colour: some pixel of the button must be exactly it.
        for (int i = 0; i < 3; ++i) {
            const QImage shot = buttons(view)[i]->grab().toImage();
            bool found = false;
            for (int y = 0; y < shot.height() && !found; ++y)
                for (int x = 0; x < shot.width() && !found; ++x)
                    found = shot.pixel(x, y) == colors[i].rgb();
            QVERIFY2(found, qPrintable(colors[i].name()));
        }
    }

    void toolbarCentredNearTheTopAndCanvasFills()
    {
        SettingsStore settings;
        OverlayContentView view(settings, true);
        showOnLeftScreen(view);
        // An odd width too, where centring rounds.
        for (const QSize size : {QSize(1000, 600), QSize(1281, 700)}) {
            view.resize(size);
            const QRect bar = view.toolbar()->geometry();
            QCOMPARE(bar.top(), 18);
            QCOMPARE(bar.left(), (size.width() - bar.width()) / 2);
            QCOMPARE(view.drawingView()->geometry(), QRect(QPoint(0, 0), size));
        }
        OverlayContentView bare(settings, false);
        showOnLeftScreen(bare, {800, 500});
        QVERIFY(!bare.toolbar());
        QVERIFY(bare.findChildren<QPushButton*>().isEmpty());
        QCOMPARE(bare.drawingView()->geometry(), bare.rect());
    }

    // Every button, then the canvas's own keys and right click, each raise one command. Clicks go
    // through the window, so they land on whatever is on top there.
    void commands()
    {
        SettingsStore settings;
        OverlayContentView view(settings, true);
        QStringList log;
        view.onPreset = [&log](int i) { log << QString("preset%1").arg(i); };
        view.onEraser = [&log] { log << "eraser"; };
        view.onClear = [&log] { log << "clear"; };
        view.onSettings = [&log] { log << "settings"; };
        view.onExit = [&log] { log << "exit"; };
        showOnLeftScreen(view);
        for (QPushButton* b : buttons(view))
            QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {},
                              b->mapTo(&view, b->rect().center()));
        QVERIFY(view.drawingView()->strokes().isEmpty());
        for (const Qt::Key key : {Qt::Key_W, Qt::Key_Z, Qt::Key_C, Qt::Key_Escape})
            QTest::keyClick(view.drawingView(), key);
        QTest::mouseClick(view.windowHandle(), Qt::RightButton, {}, QPoint(500, 400));
        QCOMPARE(log, QStringList({"preset0", "preset1", "preset2", "eraser", "clear", "settings",
                                   "exit", "preset1", "eraser", "clear", "exit", "exit"}));
    }

    void panelBackgroundKeepsPressesFromTheCanvas_data()
    {
        QTest::addColumn<bool>("eraser");
        QTest::newRow("pen") << false;
        QTest::newRow("eraser") << true;
    }

    void panelBackgroundKeepsPressesFromTheCanvas()
    {
        QFETCH(bool, eraser);
        SettingsStore settings;
        OverlayContentView view(settings, true);
        showOnLeftScreen(view);
        DrawingView* canvas = view.drawingView();
        const QRect first = buttons(view)[0]->geometry(), second = buttons(view)[1]->geometry();
        const QPoint inPanel((first.right() + second.left()) / 2, first.center().y());
        QVERIFY(!view.toolbar()->childAt(inPanel));
        const QPoint gap = view.toolbar()->mapTo(&view, inPanel), below(gap.x(), 300);
        // A stroke from under the gap down into the open canvas.
        TestSupport::drawStroke(canvas, {gap, below});
        const QList<QPointF> points = canvas->strokes()[0].points;
        if (eraser)
            canvas->useEraser();

        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {}, gap);
        QCOMPARE(canvas->strokes().size(), 1);
        QCOMPARE(canvas->strokes()[0].points, points);
        // The same click on open canvas does reach it: a new dot, or the stroke erased.
        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {}, below);
        QCOMPARE(canvas->strokes().size(), eraser ? 0 : 2);
    }
};

QTEST_MAIN(TestOverlayContentView)
#include "tst_overlaycontentview.moc"
