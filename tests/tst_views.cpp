// The pen's canvas, its toolbar and the selection view, driven with real mouse and key events.
// Pixel checks compare what the pen's canvases show, on the display at scale 1 and the one at
// scale 2, with every stroke painted afresh.

#include "overlay/canvascommands.h"
#include "overlay/drawingview.h"
#include "overlay/liveprobe.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"
#include "overlay/undobudget.h"
#include "screenshot/selectionview.h"
#include "settings/settingsstore.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QTest>
#include <qpa/qplatformnativeinterface.h>

#include <algorithm>

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

class TestViews : public QObject
{
    Q_OBJECT

    std::optional<SettingsStore> m_settings; // made once the settings are the tests' own
    std::unique_ptr<OverlayManager> m_overlay;

    // The pen over both displays, each canvas with its display copy.
    std::vector<std::unique_ptr<Canvas>> openOverlay()
    {
        m_overlay = std::make_unique<OverlayManager>(*m_settings);
        m_overlay->show({}, {});
        std::vector<std::unique_ptr<Canvas>> canvases;
        for (DrawingView* view : m_overlay->drawingViews())
            if (QTest::qWaitForWindowExposed(view->window()))
                canvases.push_back(std::make_unique<Canvas>(*view));
        return canvases;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(isolateSettings());
        m_settings.emplace();
    }
    void init() { clearSettings(); }
    void cleanup()
    {
        if (m_overlay)
            m_overlay->hide();
        m_overlay.reset();
    }

    // The eraser reaches three times its width, at least 18, from a freehand stroke's points or a
    // shape's outline; wide strokes do not widen its reach.
    void eraseHit()
    {
        const auto erases = [this](double eraserWidth, QPointF at) {
            DrawingView view(*m_settings);
            view.applyPen(red, 40);
            drawStroke(&view, {{100, 100}, {100, 160}, {100, 500}});
            view.applyPen(red, eraserWidth);
            view.useEraser();
            press(&view, at);
            return view.strokes().isEmpty();
        };
        QVERIFY(erases(4, {82, 100}) && !erases(4, {81.9999, 100}));
        QVERIFY(erases(10, {100, 190}) && !erases(10, {69.9999, 100}));
        QVERIFY(!erases(4, {100, 300})); // mid-segment, far from its points
        // A shape goes by its outline, far from its two points too, but not by its inside.
        const auto erasesShape = [](StrokeShape shape, QPointF at) {
            QList<Stroke> strokes{{{{100, 100}, {500, 300}}, red, 4, shape}};
            StrokeEdits removed;
            eraseStrokesAt(strokes, at, 4, removed);
            return strokes.isEmpty();
        };
        QVERIFY(erasesShape(StrokeShape::rectangle, {300, 118}) &&
                !erasesShape(StrokeShape::rectangle, {300, 119}));
        QVERIFY(erasesShape(StrokeShape::ellipse, {300, 282}) &&
                !erasesShape(StrokeShape::ellipse, {300, 200}));
    }

    // Drags append one point per move of the held left button and keep the pen they began with;
    // the eraser, also picked mid-drag, takes strokes (the one being drawn too) until release.
    void drags()
    {
        DrawingView view(*m_settings);
        view.setGeometry(40, 40, 400, 300);
        view.show();
        press(&view, {10.5, 10.25});
        drag(&view, {20, 10});
        drag(&view, {20, 10});
        // Hover and right-button moves are not part of the drag, nor are moves after the release.
        sendMouse(&view, QEvent::MouseMove, {90, 90}, Qt::NoButton, Qt::NoButton);
        sendMouse(&view, QEvent::MouseMove, {90, 90}, Qt::NoButton, Qt::RightButton);
        view.applyPen(blue, 9);
        drag(&view, {30, 12});
        release(&view, {30, 12});
        drag(&view, {40, 40});
        drawStroke(&view, {{200, 150}, {250, 150}});
        press(&view, {20, 250});
        drag(&view, {60, 250});
        view.useEraser();
        drag(&view, {62, 254});
        view.applyPen(green, 4);
        drag(&view, {202, 152});
        release(&view, {202, 152});
        QCOMPARE(view.strokes().size(), 1);
        const Stroke first = view.strokes()[0];
        QCOMPARE(first.points, (QList<QPointF>{{10.5, 10.25}, {20, 10}, {20, 10}, {30, 12}}));
        QVERIFY(first.color == red && first.width == 4.0);

        // Picking a pen brings back the keyboard.
        (new QWidget(&view))->setFocus();
        view.applyPen(green, 6);
        QCOMPARE(view.focusWidget(), &view);

        // The eraser mid-drag takes an older stroke only; the pen picked again draws on.
        drawStroke(&view, {{300, 50}, {320, 50}});
        press(&view, {100, 200});
        drag(&view, {110, 200});
        view.useEraser();
        drag(&view, {300, 50});
        view.applyPen(blue, 9);
        drag(&view, {120, 205});
        release(&view, {120, 205});
        QCOMPARE(view.strokes().last().points,
                 (QList<QPointF>{{100, 200}, {110, 200}, {120, 205}}));
    }

    // Control+Z: the key code, not the control character in the text, names the letter; other
    // text is compared as typed. A composing input method delivers text without a key code; é
    // and e + ´ are one letter.
    void keys()
    {
        const auto command = [this](int key, const QString& text) {
            return int(commandForKeyPress(key, {}, text, *m_settings));
        };
        QCOMPARE(command(Qt::Key_Z, "\x1a"), int(CanvasCommand::eraser));
        m_settings->setString("\u00e9", SettingsKeys::greenKey);
        QCOMPARE(command(Qt::Key_unknown, "e\u0301"), int(CanvasCommand::preset2));
        m_settings->setString("e\u0301", SettingsKeys::greenKey);
        QCOMPARE(command(Qt::Key_Eacute, "\u00e9"), int(CanvasCommand::preset2));
        // ς and ı (whose key codes are Σ and I) are letters of their own; Shift keeps a letter.
        m_settings->setString("i", SettingsKeys::redKey);
        m_settings->setString("\u0131", SettingsKeys::eraserKey);
        m_settings->setString("\u03c2", SettingsKeys::clearKey);
        for (const auto& [key, text, expected] : {std::tuple{0x3a3, "\u03c2", CanvasCommand::clear},
                                                  {Qt::Key_I, "\u0131", CanvasCommand::eraser},
                                                  {Qt::Key_I, "I", CanvasCommand::preset0}})
            QCOMPARE(command(key, text), int(expected));
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
        // An ellipse, with Space held, repainted along its outline only; its undo puts back the
        // layer there.
        canvases[1]->sync();
        QTest::keyPress(right, Qt::Key_Space);
        drawStroke(right, {{20, 200}, {600, 500}});
        QTest::keyRelease(right, Qt::Key_Space);
        QCoreApplication::processEvents();
        qint64 area = 0;
        for (const QRect r : canvases[1]->repainted)
            area += r.width() * r.height();
        QCOMPARE_LT(area, 1280 * 720 / 8);
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

        // Each clear keeps both whole layers for undo, under one budget for both displays.
        for (int i = 0; i < 4; ++i) {
            drawStroke(left, {{40, 40}, {500, 60}});
            drawStroke(right, {{40, 40}, {500, 60}});
            m_overlay->clearAll();
        }
        const qsizetype kept = left->keptBytes() + right->keptBytes();
        QVERIFY(kept <= UndoBudget::defaultBytes && kept > UndoBudget::defaultBytes / 2);

        // The first display unplugged and plugged in again, last: the toolbar goes to the first
        // display left, the new one is covered and takes the keyboard, and the history goes on.
        drawStroke(right, {{20, 300}, {600, 310}});
        QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
        const QJsonObject config = reinterpret_cast<QJsonObject (*)(QPlatformNativeInterface*)>(
            native->nativeResourceForIntegration("configuration"))(native);
        // The screens of screens.json by index (0 left, 1 right) in that order; then the pen's
        // windows, left to right.
        const auto plugged = [&](const QList<int>& indices) {
            QJsonObject changed = config;
            QJsonArray screens;
            for (const int i : indices)
                screens << config["screens"][i];
            changed["screens"] = screens;
            reinterpret_cast<void (*)(const QJsonObject&, QPlatformNativeInterface*)>(
                native->nativeResourceForIntegration("setConfiguration"))(changed, native);
            QStringList shown;
            for (const OverlayWindow* w : m_overlay->windows())
                shown << w->targetScreen()->name() +
                             (w->contentView()->toolbar() ? "+toolbar" : "");
            const bool keys = QWidget::keyboardGrabber() == m_overlay->drawingViews().back();
            return shown.join(' ') + (keys ? "" : " (keyboard elsewhere)");
        };
        QCOMPARE(plugged({1}), "right+toolbar");
        QCOMPARE(plugged({1, 0}), "right+toolbar left");
        QTest::keyClick(m_overlay->drawingViews().back(), Qt::Key_Backspace);
        QVERIFY(right->strokes().isEmpty());
        QCOMPARE(plugged({0}), "left+toolbar");
        QCOMPARE(plugged({0, 1}), "left+toolbar right");
    }

    // Stored letters and colours, ß kept, as it would become SS, which is no single letter. Over
    // a canvas that fills the view, each button raises one command and a click on the panel
    // between them reaches no canvas. Clicks go through the window, so they land on whatever is
    // on top there.
    void toolbar()
    {
        m_settings->setString("ß", SettingsKeys::blueKey);
        m_settings->setString("x", SettingsKeys::eraserKey);
        m_settings->setString("K", SettingsKeys::clearKey);
        const QList<QColor> colors{Qt::darkCyan, Qt::darkYellow, Qt::darkMagenta};
        for (int i = 0; i < 3; ++i)
            m_settings->setColor(colors[i], QList{SettingsKeys::redColor, SettingsKeys::blueColor,
                                                  SettingsKeys::greenColor}[i]);
        OverlayContentView view(*m_settings, true);
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
        // Left to right, as the user sees them.
        auto buttons = view.toolbar()->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly);
        std::sort(buttons.begin(), buttons.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
        QStringList shown;
        for (QPushButton* b : buttons) {
            shown << b->text();
            // The dot is painted in the pen's colour: some pixel of the button must be exactly it.
            if (shown.size() <= 3) {
                const QImage shot = b->grab().toImage().convertToFormat(QImage::Format_RGB32);
                const auto* pixels = reinterpret_cast<const QRgb*>(shot.constBits());
                const auto end = pixels + shot.width() * shot.height();
                QVERIFY(std::find(pixels, end, colors[shown.size() - 1].rgb()) != end);
            }
            QTest::mouseClick(view.windowHandle(), Qt::LeftButton, {},
                              b->mapTo(&view, b->rect().center()));
        }
        QCOMPARE(shown.join('|'), QString("● Q|● ß|● E|橡皮 X|清屏 K|设置|右键退出"));
        QCOMPARE(log, QStringList({"preset0", "preset1", "preset2", "eraser", "clear", "settings",
                                   "exit"}));

        const QRect first = buttons[0]->geometry(), second = buttons[1]->geometry();
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

    // A move without a press selects nothing. The selection is lighter than the dimming, with an
    // opaque white outline, under a hint; a drag under 4 px either way selects nothing, one up
    // and to the left or past the edge selects what it spans.
    // What a picture of the screen with the probe on it says, at scale 2; a picture taken before
    // the window showed, or with a stroke over the mark, says nothing. A still black all over
    // offers no probe.
    void liveProbe_data()
    {
        QTest::addColumn<QString>("seen");
        QTest::addColumn<int>("answer");
        QTest::newRow("the desktop in the hole") << "desktop" << int(LiveAnswer::Live);
        QTest::newRow("black in the hole") << "black" << int(LiveAnswer::Still);
        QTest::newRow("the still without the probe") << "still" << int(LiveAnswer::Unseen);
    }

    void liveProbe()
    {
        QFETCH(QString, seen);
        QFETCH(int, answer);
        QImage still(1280, 720, QImage::Format_RGB32);
        still.fill(qRgb(90, 140, 200));
        still.setDevicePixelRatio(2);
        const std::optional<LiveProbe> probe = findLiveProbe(still);
        QVERIFY(probe && probe->hole.top() > 540 && still.rect().contains(probe->mark));
        const QImage probed = withLiveProbe(still, *probe);
        QCOMPARE(probed.devicePixelRatio(), 2.0);
        QCOMPARE(qAlpha(probed.pixel(probe->hole.center())), 0);
        QImage picture = seen == "still" ? still : probed.convertToFormat(QImage::Format_RGB32);
        if (seen == "desktop")
            picture.setPixel(probe->hole.center(), still.pixel(0, 0));
        QCOMPARE(int(liveAnswer(picture, *probe)), answer);
        still.fill(Qt::black);
        QVERIFY(!findLiveProbe(still));
    }

    void selection()
    {
        SelectionView view;
        QList<QRectF> completed;
        view.onComplete = [&completed](const QRectF& r) { completed << r; };
        view.resize(800, 600);
        view.show();
        drag(&view, QPointF(150, 150));
        QCOMPARE(view.selectionRect(), QRectF());
        press(&view, QPointF(100, 200));
        drag(&view, QPointF(300, 400));
        const QImage image = view.grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QVERIFY(qAlpha(image.pixel(200, 300)) > 77 && qRed(image.pixel(200, 300)) > 0);
        QCOMPARE(image.pixel(100, 300), qRgba(255, 255, 255, 255));
        // The hint: white text on the centre line, 28 px down.
        bool white = false;
        for (int i = 0; i < 200 * 22; ++i)
            white =
                white || QColor::fromRgba(image.pixel(300 + i % 200, 28 + i / 200)).value() > 200;
        QVERIFY(white);
        release(&view, QPointF(300, 400));
        for (const QLine drag : {QLine(50, 50, 53, 150), QLine(50, 50, 54, 54),
                                 QLine(300, 200, 100, 50), QLine(700, 500, 900, 650)})
            drawStroke(&view, {drag.p1(), drag.p2()});
        QCOMPARE(
            completed,
            (QList<QRectF>{
                {100, 200, 200, 200}, {50, 50, 4, 4}, {100, 50, 200, 150}, {700, 500, 200, 150}}));
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"
