// Drives the canvas with real mouse and key events. Pixel checks compare what the pen's canvases
// show, on the display at scale 1 and the one at scale 2, with every stroke painted afresh.

#include "overlay/canvascommands.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QTest>

using namespace TestSupport;

namespace
{

const QColor red = SettingsDefaults::systemRed;
const QColor blue = SettingsDefaults::systemBlue;
const QColor green = SettingsDefaults::systemGreen;
// Translucent, so the order in which overlapping strokes are painted shows in the pixels.
const QColor violet(120, 40, 200, 140);

QImage afresh(const QList<Stroke>& strokes, QSize size, qreal dpr)
{
    QImage image((QSizeF(size) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const Stroke& s : strokes)
        paintStroke(painter, s);
    return image;
}

// Empty when every channel of every pixel is at most 1 apart; otherwise where they differ.
QString difference(const QImage& actual, const QImage& expected, const char* what)
{
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage e = expected.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (qsizetype i = 0; a.size() == e.size() && i < a.sizeInBytes(); ++i)
        if (qAbs(a.constBits()[i] - e.constBits()[i]) > 1)
            return QString("%1: pixel %2, %3")
                .arg(what)
                .arg(i / 4 % a.width())
                .arg(i / 4 / a.width());
    return a.size() == e.size() ? QString() : QString("%1: sizes differ").arg(what);
}

// A shown canvas, still empty, with a copy of what the display holds: each area the canvas
// repaints is copied into `shown` right after, so a missing or short update area leaves stale
// pixels behind, as it would on screen.
struct Canvas : QObject {
    DrawingView& view;
    QImage shown;
    QRegion repainted;

    explicit Canvas(DrawingView& v) : view(v), shown(afresh({}, v.size(), v.devicePixelRatioF()))
    {
        view.installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            repainted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
    void sync()
    {
        QCoreApplication::processEvents();
        const QRegion region = std::exchange(repainted, QRegion());
        // A translucent window's backing store is cleared where it is about to be repainted.
        QPainter clear(&shown);
        clear.setCompositionMode(QPainter::CompositionMode_Source);
        clear.setClipRegion(region);
        clear.fillRect(view.rect(), Qt::transparent);
        clear.end();
        if (!region.isEmpty())
            view.render(&shown, region.boundingRect().topLeft(), region);
        // The copy's own paint event is not one the display sees.
        repainted = QRegion();
    }
    // Empty when both the display copy and a full repaint match the strokes painted afresh.
    QString mismatch(std::optional<QList<Stroke>> strokes = {})
    {
        sync();
        const QImage full = view.grab().toImage();
        // That paint was not the display's; copying everything next would hide stale pixels.
        repainted = QRegion();
        sync();
        const QImage expected =
            afresh(strokes.value_or(view.strokes()), view.size(), view.devicePixelRatioF());
        return difference(shown, expected, "on screen") +
               difference(full, expected, "full repaint");
    }
};

} // namespace

class TestDrawingView : public QObject
{
    Q_OBJECT

    std::optional<SettingsStore> m_settings; // made once the settings are the tests' own
    std::unique_ptr<DrawingView> m_view;
    std::unique_ptr<OverlayManager> m_overlay;

    // The pen over both displays, each canvas with its display copy.
    std::vector<std::unique_ptr<Canvas>> openOverlay()
    {
        m_overlay = std::make_unique<OverlayManager>(*m_settings);
        m_overlay->show({}, {});
        std::vector<std::unique_ptr<Canvas>> canvases;
        for (DrawingView* view : m_overlay->drawingViews()) {
            if (QTest::qWaitForWindowExposed(view->window()))
                canvases.push_back(std::make_unique<Canvas>(*view));
        }
        return canvases;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(isolateSettings());
        m_settings.emplace();
    }
    void init()
    {
        clearSettings();
        m_view = std::make_unique<DrawingView>(*m_settings);
        m_view->setGeometry(40, 40, 400, 300);
        m_view->show();
    }
    void cleanup()
    {
        if (m_overlay)
            m_overlay->hide();
        m_overlay.reset();
    }

    // The eraser reaches three times its width, at least 18, from a stroke's points.
    void eraseHit_data()
    {
        QTest::addColumn<double>("eraserWidth");
        QTest::addColumn<QPointF>("at");
        QTest::addColumn<bool>("hit");
        QTest::newRow("width 4 at 18") << 4.0 << QPointF(82, 100) << true;
        QTest::newRow("width 4 past 18") << 4.0 << QPointF(81.9999, 100) << false;
        QTest::newRow("width 10 at 30") << 10.0 << QPointF(100, 190) << true;
        QTest::newRow("width 10 past 30") << 10.0 << QPointF(69.9999, 100) << false;
        QTest::newRow("mid-segment, far from points") << 4.0 << QPointF(100, 300) << false;
    }

    void eraseHit()
    {
        QFETCH(double, eraserWidth);
        QFETCH(QPointF, at);
        // Wide strokes: only the eraser's own width sets its reach.
        m_view->applyPen(red, 40);
        drawStroke(m_view.get(), {{100, 100}, {100, 160}, {100, 500}});
        m_view->applyPen(red, eraserWidth);
        m_view->useEraser();
        press(m_view.get(), at);
        QTEST(m_view->strokes().isEmpty(), "hit");
    }

    // Drags append one point per move of the held left button and keep the pen they began with;
    // the eraser, also picked mid-drag, takes strokes (the one being drawn too) until release.
    void drags()
    {
        press(m_view.get(), {10.5, 10.25});
        drag(m_view.get(), {20, 10});
        drag(m_view.get(), {20, 10});
        // Hover and right-button moves are not part of the drag, nor are moves after the release.
        sendMouse(m_view.get(), QEvent::MouseMove, {90, 90}, Qt::NoButton, Qt::NoButton);
        sendMouse(m_view.get(), QEvent::MouseMove, {90, 90}, Qt::NoButton, Qt::RightButton);
        m_view->applyPen(blue, 9);
        drag(m_view.get(), {30, 12});
        release(m_view.get(), {30, 12});
        drag(m_view.get(), {40, 40});
        drawStroke(m_view.get(), {{200, 150}, {250, 150}});
        press(m_view.get(), {20, 250});
        drag(m_view.get(), {60, 250});
        m_view->useEraser();
        drag(m_view.get(), {62, 254});
        m_view->applyPen(green, 4);
        drag(m_view.get(), {202, 152});
        release(m_view.get(), {202, 152});
        QCOMPARE(m_view->strokes().size(), 1);
        const Stroke first = m_view->strokes()[0];
        QCOMPARE(first.points, (QList<QPointF>{{10.5, 10.25}, {20, 10}, {20, 10}, {30, 12}}));
        QVERIFY(first.color == red && first.width == 4.0);

        // Picking a pen brings back the keyboard.
        (new QWidget(m_view.get()))->setFocus();
        m_view->applyPen(green, 6);
        QCOMPARE(m_view->focusWidget(), m_view.get());
    }

    // Control+Z: the key code, not the control character in the text, names the letter. A
    // composing input method delivers text without a key code.
    void keys_data()
    {
        QTest::addColumn<QString>("green"); // the green pen's stored letter
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("command");
        const QString composed("\u00e9"), decomposed("e\u0301");
        QTest::newRow("Ctrl+Z") << "e" << int(Qt::Key_Z) << "\x1a" << int(CanvasCommand::eraser);
        QTest::newRow("e + ´, é stored")
            << composed << int(Qt::Key_unknown) << decomposed << int(CanvasCommand::preset2);
        QTest::newRow("é, e + ´ stored")
            << decomposed << int(Qt::Key_Eacute) << composed << int(CanvasCommand::preset2);
    }

    void keys()
    {
        QFETCH(QString, green);
        QFETCH(int, key);
        QFETCH(QString, text);
        SettingsStore settings;
        settings.setString(green, SettingsKeys::greenKey);
        QTEST(int(commandForKeyPress(key, {}, text, settings)), "command");
    }

    // On the display at scale 1 and the one at scale 2: strokes of every width, also past the
    // edges, the eraser, a drag still going on, erasing or clearing in the middle of a drag.
    void pixels()
    {
        const auto canvases = openOverlay();
        QCOMPARE(canvases.size(), 2u);
        for (const auto& c : canvases) {
            DrawingView* view = &c->view;
            const qreal dpr = view->devicePixelRatioF();
            QCOMPARE(dpr, c == canvases.front() ? 1.0 : 2.0);
            QRandomGenerator random(7);
            const auto between = [&](double lo, double hi) { return lo + random.bounded(hi - lo); };
            for (int i = 0; i < 40; ++i) {
                view->applyPen(QList{red, blue, green, violet}[i % 4],
                               QList<double>{1.5, 4, 9, 16}[(i / 4) % 4]);
                // A little beyond the edges too: drags leave the canvas.
                QList<QPointF> points{{between(-20, 420), between(-20, 320)}};
                for (int k = 1 + random.bounded(8); k > 0; --k)
                    points << points.last() + QPointF(between(-60, 60), between(-60, 60));
                drawStroke(view, points);
                c->sync();
            }
            QCOMPARE(c->mismatch(), QString());

            view->useEraser();
            const qsizetype before = view->strokes().size();
            const QList<QPointF> targets{view->strokes()[3].points.last(),
                                         view->strokes()[20].points.first(),
                                         view->strokes()[33].points[1]};
            press(view, targets[0]);
            for (const QPointF p : targets) {
                drag(view, p);
                c->sync();
            }
            release(view, targets[2]);
            QVERIFY(view->strokes().size() <= before - targets.size());
            QCOMPARE(c->mismatch(), QString());

            // A drag still going on, over the finished strokes; then it erases one.
            view->applyPen(violet, 12);
            press(view, {10, 10});
            for (int k = 1; k <= 6; ++k) {
                drag(view, {10.0 + 50 * k, k % 2 ? 280.0 : 20.0});
                c->sync();
            }
            QCOMPARE(c->mismatch(), QString());
            view->useEraser();
            drag(view, view->strokes()[0].points.first());
            QCOMPARE(c->mismatch(), QString());
            release(view, {0, 0});

            // Clearing in the middle of a drag: the rest of it draws nothing.
            view->applyPen(green, 4);
            press(view, {20, 100});
            drag(view, {100, 110});
            c->sync();
            view->clearStrokes();
            drag(view, {150, 120});
            release(view, {150, 120});
            QVERIFY(view->strokes().isEmpty());
            view->applyPen(blue, 9);
            drawStroke(view, {{20, 20}, {380, 280}, {20, 280}, {380, 20}});
            QCOMPARE(c->mismatch(), QString());
        }
    }

    // One history over both displays: each change comes and goes where it was made, the strokes
    // in their order (opaque ones cross at one point), and the screen shows exactly them.
    void undoAndRedo()
    {
        const auto canvases = openOverlay();
        QCOMPARE(canvases.size(), 2u);
        DrawingView* left = &canvases[0]->view;
        DrawingView* right = &canvases[1]->view;
        for (int i = 0; i < 5; ++i) {
            for (DrawingView* view : {left, right}) {
                view->applyPen(QList{red, blue, green, violet}[i % 4], 6);
                drawStroke(view, {{80.0 + 50 * i, 80}, {300, 300}, {80.0 + 50 * i, 520}});
            }
        }
        using State = std::vector<QList<Stroke>>;
        const auto state = [&] { return State{left->strokes(), right->strokes()}; };
        // Backspace undoes, Shift+Backspace redoes; then the screens must show `expected`.
        const auto key = [&](Qt::KeyboardModifiers modifiers, const State& expected) {
            QTest::keyClick(right, Qt::Key_Backspace, modifiers);
            return canvases[0]->mismatch(expected[0]) + canvases[1]->mismatch(expected[1]);
        };

        const State drawn = state();
        drawStroke(right, {{20, 300}, {600, 310}});
        const State stroked = state();
        // One drag takes strokes 1 and 3 by their lower ends, and nothing in between.
        m_overlay->useEraser();
        drawStroke(left, {{130, 520}, {130, 600}, {230, 600}, {230, 520}});
        m_overlay->setPreset(0);
        const State erased = state();
        QCOMPARE(erased[0].size(), 3);
        m_overlay->clearAll();
        const State cleared = state();
        for (const State& expected : {erased, stroked, drawn})
            QCOMPARE(key({}, expected), QString());
        for (const State& expected : {stroked, erased, cleared})
            QCOMPARE(key(Qt::ShiftModifier, expected), QString());
        QCOMPARE(key({}, erased), QString());
        drawStroke(left, {{40, 40}, {500, 60}});
        const State redrawn = state();
        QCOMPARE(key(Qt::ShiftModifier, redrawn), QString());
        QCOMPARE(key({}, erased), QString());
        // Not in the middle of a drag, whose stroke would lose its place.
        press(left, {40, 40});
        drag(left, {500, 60});
        QTest::keyClick(right, Qt::Key_Backspace);
        release(left, {500, 60});
        QCOMPARE(canvases[0]->mismatch(redrawn[0]) + canvases[1]->mismatch(redrawn[1]), QString());
    }
};

QTEST_MAIN(TestDrawingView)
#include "tst_drawingview.moc"
