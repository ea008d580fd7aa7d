// The overlay's content: the toolbar's titles and colours, what its buttons raise, and that the
// panel keeps presses away from the canvas below it.

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

} // namespace

class TestOverlayContentView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestSupport::isolateSettings()); }
    void init() { TestSupport::clearSettings(); }

    // Stored letters and colours; ß would become SS, which is no single letter.
    void toolbarTitlesAndColours()
    {
        SettingsStore settings;
        settings.setString("ß", SettingsKeys::blueKey);
        settings.setString("x", SettingsKeys::eraserKey);
        settings.setString("K", SettingsKeys::clearKey);
        const QList<QColor> colors{Qt::darkCyan, Qt::darkYellow, Qt::darkMagenta};
        for (int i = 0; i < 3; ++i)
            settings.setColor(colors[i], QList{SettingsKeys::redColor, SettingsKeys::blueColor,
                                               SettingsKeys::greenColor}[i]);
        OverlayContentView view(settings, true);
        QStringList shown;
        for (QPushButton* b : buttons(view)) {
            shown << b->text();
            // The dot is painted in the pen's colour: some pixel of the button must be exactly it.
            if (shown.size() <= 3) {
                const QImage shot = b->grab().toImage().convertToFormat(QImage::Format_RGB32);
                const auto* pixels = reinterpret_cast<const QRgb*>(shot.constBits());
                const auto end = pixels + shot.width() * shot.height();
                QVERIFY(std::find(pixels, end, colors[shown.size() - 1].rgb()) != end);
            }
        }
        QCOMPARE(shown.join('|'), QString("● Q|● ß|● E|橡皮 X|清屏 K|设置|右键退出"));
    }

    // Over a canvas that fills the view, each button raises one command and a click on the panel
    // between them reaches no canvas. Clicks go through the window, so they land on whatever is
    // on top there.
    void placeAndClicks()
    {
        SettingsStore settings;
        OverlayContentView view(settings, true);
        QStringList log;
        view.onPreset = [&log](int i) { log << QString("preset%1").arg(i); };
        view.onEraser = [&log] { log << "eraser"; };
        view.onClear = [&log] { log << "clear"; };
        view.onSettings = [&log] { log << "settings"; };
        view.onExit = [&log] { log << "exit"; };
        view.setGeometry(
            QRect(QGuiApplication::primaryScreen()->geometry().topLeft(), QSize(1000, 600)));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.drawingView()->geometry(), view.rect());
        for (QPushButton* b : buttons(view))
            QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {},
                              b->mapTo(&view, b->rect().center()));
        QCOMPARE(log, QStringList({"preset0", "preset1", "preset2", "eraser", "clear", "settings",
                                   "exit"}));

        const QRect first = buttons(view)[0]->geometry(), second = buttons(view)[1]->geometry();
        const QPoint inPanel((first.right() + second.left()) / 2, first.center().y());
        QVERIFY(!view.toolbar()->childAt(inPanel));
        const QPoint gap = view.toolbar()->mapTo(&view, inPanel), below(gap.x(), 300);
        DrawingView* canvas = view.drawingView();
        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {}, gap);
        QVERIFY(canvas->strokes().isEmpty());
        // The same click on open canvas does reach it.
        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {}, below);
        QCOMPARE(canvas->strokes().size(), 1);
    }
};

QTEST_MAIN(TestOverlayContentView)
#include "tst_overlaycontentview.moc"
