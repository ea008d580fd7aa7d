// Drives the canvas with real mouse and key events. Pixel checks compare what the canvas shows,
// on the display at scale 1 and the one at scale 2, with every stroke painted afresh.

#include "overlay/drawingview.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <cstdlib>

namespace
{

const QColor red = SettingsDefaults::systemRed;
const QColor blue = SettingsDefaults::systemBlue;
const QColor green = SettingsDefaults::systemGreen;
// Translucent, so the order in which overlapping strokes are painted shows in the pixels.
const QColor violet(120, 40, 200, 140);

void sendMouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void press(QWidget* w, QPointF p, Qt::MouseButton b = Qt::LeftButton)
{
    sendMouse(w, QEvent::MouseButtonPress, p, b, b);
}

// QTest::mouseMove does not carry the held button, so drags are sent by hand.
void drag(QWidget* w, QPointF p)
{
    sendMouse(w, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
}

void release(QWidget* w, QPointF p)
{
    sendMouse(w, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
}

void drawStroke(QWidget* w, const QList<QPointF>& points)
{
    press(w, points.first());
    for (qsizetype i = 1; i < points.size(); ++i)
        drag(w, points[i]);
    release(w, points.last());
}

QScreen* screenNamed(const QString& name)
{
    for (QScreen* s : QGuiApplication::screens()) {
        if (s->name() == name)
            return s;
    }
    return nullptr;
}

QImage blankImage(QSize size, qreal dpr)
{
    QImage image((QSizeF(size) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    return image;
}

QImage paintedAfresh(const QList<Stroke>& strokes, QSize size, qreal dpr)
{
    QImage image = blankImage(size, dpr);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const Stroke& s : strokes)
        paintStroke(painter, s);
    return image;
}

// Empty when every channel of every pixel is at most 1 apart.
QString difference(const QImage& actual, const QImage& expected)
{
    if (actual.size() != expected.size())
        return "sizes differ";
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage e = expected.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = e.pixel(x, y);
            for (int shift : {0, 8, 16, 24}) {
                if (std::abs(int((p >> shift) & 0xff) - int((q >> shift) & 0xff)) > 1)
                    return QString("device pixel (%1, %2) is #%3, expected #%4")
                        .arg(x)
                        .arg(y)
                        .arg(p, 8, 16, QChar('0'))
                        .arg(q, 8, 16, QChar('0'));
            }
        }
    }
    return {};
}

// A canvas shown on one display, with a copy of what the display holds: each area the canvas
// repaints is copied into `shown` right after, so a missing or short update area leaves stale
// pixels behind, as it would on screen.
class ShownCanvas : public QObject
{
public:
    ShownCanvas(SettingsStore& settings, QScreen* screen, QSize size) : view(settings)
    {
        view.setScreen(screen);
        view.setGeometry(QRect(screen->geometry().topLeft() + QPoint(40, 40), size));
        view.installEventFilter(this);
        view.show();
        shown = blankImage(size, view.devicePixelRatioF());
    }

    void sync()
    {
        QCoreApplication::processEvents();
        if (m_repainted.isEmpty())
            return;
        // A translucent window's backing store is cleared where it is about to be repainted.
        QPainter clear(&shown);
        clear.setCompositionMode(QPainter::CompositionMode_Source);
        for (const QRect& r : m_repainted)
            clear.fillRect(r, Qt::transparent);
        clear.end();
        m_copying = true;
        view.render(&shown, m_repainted.boundingRect().topLeft(), m_repainted);
        m_copying = false;
        m_repainted = QRegion();
    }

    // Empty when both the display copy and a full repaint match every stroke painted afresh.
    QString mismatch()
    {
        sync();
        const QImage expected =
            paintedAfresh(view.strokes(), view.size(), view.devicePixelRatioF());
        const QString onScreen = difference(shown, expected);
        if (!onScreen.isEmpty())
            return "on screen: " + onScreen;
        const QString grabbed = difference(view.grab().toImage(), expected);
        return grabbed.isEmpty() ? QString() : "full repaint: " + grabbed;
    }

    DrawingView view;
    QImage shown;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_copying)
            m_repainted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }

private:
    QRegion m_repainted;
    bool m_copying = false;
};

#define VERIFY_PIXELS(canvas)                                                                      \
    do {                                                                                           \
        const QString m = (canvas).mismatch();                                                     \
        QVERIFY2(m.isEmpty(), qPrintable(m));                                                      \
    } while (false)

class KeySink : public QWidget
{
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        keys << event->key();
        event->accept();
    }
};

void bothScreens()
{
    QTest::addColumn<QString>("screen");
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("scale 1") << "left" << 1.0;
    QTest::newRow("scale 2") << "right" << 2.0;
}

void logCommands(DrawingView& view, QStringList& log)
{
    view.onPreset = [&log](int i) { log << QString("preset%1").arg(i); };
    view.onEraser = [&log] { log << "eraser"; };
    view.onClear = [&log] { log << "clear"; };
    view.onExit = [&log] { log << "exit"; };
}

} // namespace

class TestDrawingView : public QObject
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
        QVERIFY(screenNamed("left"));
        QVERIFY(screenNamed("right"));
    }

    void init()
    {
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
        raw.clear();
        raw.sync();
    }

    void dragAppendsOnePointPerMove()
    {
        SettingsStore settings;
        DrawingView view(settings);
        view.resize(300, 200);
        press(&view, {10.5, 10.25});
        drag(&view, {20, 10});
        drag(&view, {20, 10});
        // Hover and right-button moves are not part of the drag.
        sendMouse(&view, QEvent::MouseMove, {90, 90}, Qt::NoButton, Qt::NoButton);
        sendMouse(&view, QEvent::MouseMove, {90, 90}, Qt::NoButton, Qt::RightButton);
        drag(&view, {30, 12});
        QCOMPARE(view.activeStrokeIndex().value_or(-1), 0);
        release(&view, {30, 12});
        QVERIFY(!view.activeStrokeIndex());
        QCOMPARE(view.strokes().size(), 1);
        const QList<QPointF> expected{{10.5, 10.25}, {20, 10}, {20, 10}, {30, 12}};
        QCOMPARE(view.strokes()[0].points, expected);

        // Moves after the release extend nothing.
        drag(&view, {40, 40});
        QCOMPARE(view.strokes()[0].points, expected);
        press(&view, {100, 100});
        QCOMPARE(view.strokes().size(), 2);
        QCOMPARE(view.activeStrokeIndex().value_or(-1), 1);
    }

    void eraseHit_data()
    {
        QTest::addColumn<QList<QPointF>>("points");
        QTest::addColumn<double>("strokeWidth");
        QTest::addColumn<double>("eraserWidth");
        QTest::addColumn<QPointF>("at");
        QTest::addColumn<bool>("hit");

        const QList<QPointF> vertical{{100, 100}, {100, 160}};
        QTest::newRow("width 4 at 18") << vertical << 2.0 << 4.0 << QPointF(82, 100) << true;
        QTest::newRow("width 4 at 18.0001")
            << vertical << 2.0 << 4.0 << QPointF(100 - 18.0001, 100) << false;
        QTest::newRow("width 10 at 30") << vertical << 2.0 << 10.0 << QPointF(70, 100) << true;
        QTest::newRow("width 10 at 30.0001")
            << vertical << 2.0 << 10.0 << QPointF(100 - 30.0001, 100) << false;
        QTest::newRow("last point counts") << vertical << 2.0 << 4.0 << QPointF(100, 178) << true;
        QTest::newRow("stroke width does not widen the eraser")
            << vertical << 40.0 << 4.0 << QPointF(100 - 18.0001, 100) << false;
        QTest::newRow("segment far from both ends")
            << QList<QPointF>{{20, 100}, {300, 100}} << 4.0 << 4.0 << QPointF(160, 100) << false;
        QTest::newRow("one-point stroke")
            << QList<QPointF>{{100, 100}} << 4.0 << 4.0 << QPointF(100, 118) << true;
    }

    void eraseHit()
    {
        QFETCH(QList<QPointF>, points);
        QFETCH(double, strokeWidth);
        QFETCH(double, eraserWidth);
        QFETCH(QPointF, at);
        QFETCH(bool, hit);

        SettingsStore settings;
        DrawingView view(settings);
        view.resize(400, 300);
        view.applyPen(red, strokeWidth);
        drawStroke(&view, points);
        QCOMPARE(view.strokes().size(), 1);
        QCOMPARE(view.strokes()[0].points, points);

        view.applyPen(red, eraserWidth);
        view.useEraser();
        press(&view, at);
        release(&view, at);
        QCOMPARE(view.strokes().isEmpty(), hit);
    }

    void eraseRemovesEveryHitStroke_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("hit");
        QTest::addColumn<QList<int>>("left");
        QTest::newRow("middle of three") << 3 << QList<int>{1} << QList<int>{0, 2};
        QTest::newRow("first and last of four") << 4 << QList<int>{0, 3} << QList<int>{1, 2};
        QTest::newRow("all") << 3 << QList<int>{0, 1, 2} << QList<int>{};
    }

    void eraseRemovesEveryHitStroke()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, hit);
        QFETCH(QList<int>, left);

        SettingsStore settings;
        DrawingView view(settings);
        view.resize(400, 300);
        const QPointF eraser(300, 250);
        for (int i = 0; i < count; ++i) {
            QList<QPointF> points{{20.0 + 40 * i, 20}, {20.0 + 40 * i, 100}};
            // Hit strokes pass within a few pixels of the eraser, on differing sides.
            if (hit.contains(i))
                points << eraser + QPointF(i % 2 ? 5 : -5, i);
            drawStroke(&view, points);
        }
        view.useEraser();
        drag(&view, eraser);

        QList<int> remaining;
        for (const Stroke& s : view.strokes())
            remaining << int((s.points.first().x() - 20) / 40);
        QCOMPARE(remaining, left);
    }

    void penChangeLeavesStrokesAlone()
    {
        SettingsStore settings;
        DrawingView view(settings);
        view.resize(300, 200);
        view.applyPen(red, 4);
        drawStroke(&view, {{10, 10}, {50, 10}});
        press(&view, {10, 50});
        drag(&view, {30, 50});
        view.applyPen(blue, 9);
        // The stroke being drawn keeps its pen and goes on growing.
        drag(&view, {50, 50});
        release(&view, {50, 50});
        drawStroke(&view, {{10, 90}, {50, 90}});

        QList<std::pair<QColor, double>> pens;
        for (const Stroke& s : view.strokes())
            pens << std::pair{s.color, s.width};
        const QList<std::pair<QColor, double>> expected{{red, 4}, {red, 4}, {blue, 9}};
        QCOMPARE(pens, expected);
        QCOMPARE(view.strokes()[1].points.size(), 3);
    }

    void eraserDuringDragErasesTheStrokeBeingDrawn()
    {
        SettingsStore settings;
        DrawingView view(settings);
        view.resize(300, 200);
        drawStroke(&view, {{200, 150}, {250, 150}});
        press(&view, {20, 20});
        drag(&view, {60, 20});
        view.useEraser();
        drag(&view, {62, 24});
        QCOMPARE(view.strokes().size(), 1);
        QCOMPARE(view.strokes()[0].points.first(), QPointF(200, 150));
        // Nothing is drawn for the rest of the drag, even after going back to the pen.
        drag(&view, {100, 100});
        view.applyPen(green, 4);
        drag(&view, {120, 100});
        release(&view, {120, 100});
        QCOMPARE(view.strokes().size(), 1);
        QCOMPARE(view.strokes()[0].points.size(), 2);
    }

    void dragBegunWithEraserKeepsErasing()
    {
        SettingsStore settings;
        DrawingView view(settings);
        view.resize(300, 200);
        drawStroke(&view, {{20, 20}, {60, 20}});
        drawStroke(&view, {{20, 150}, {60, 150}});
        view.useEraser();
        press(&view, {200, 100});
        view.applyPen(blue, 4);
        drag(&view, {22, 152});
        QCOMPARE(view.strokes().size(), 1);
        QCOMPARE(view.strokes()[0].points.first(), QPointF(20, 20));
        drag(&view, {100, 100});
        release(&view, {100, 100});
        QCOMPARE(view.strokes().size(), 1);
        QCOMPARE(view.strokes()[0].points.size(), 2);
        // The next drag draws again.
        drawStroke(&view, {{100, 100}, {120, 120}});
        QCOMPARE(view.strokes().size(), 2);
        QCOMPARE(view.strokes()[1].color, blue);
    }

    void keys_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<QString>("command");

        const QVariantMap defaults;
        const Qt::KeyboardModifiers none = Qt::NoModifier;
        QTest::newRow("q") << defaults << int(Qt::Key_Q) << "q" << none << "preset0";
        QTest::newRow("w") << defaults << int(Qt::Key_W) << "w" << none << "preset1";
        QTest::newRow("e") << defaults << int(Qt::Key_E) << "e" << none << "preset2";
        QTest::newRow("Shift+E") << defaults << int(Qt::Key_E) << "E"
                                 << Qt::KeyboardModifiers(Qt::ShiftModifier) << "preset2";
        QTest::newRow("z") << defaults << int(Qt::Key_Z) << "z" << none << "eraser";
        QTest::newRow("c") << defaults << int(Qt::Key_C) << "c" << none << "clear";
        QTest::newRow("Escape") << defaults << int(Qt::Key_Escape) << "\x1b" << none << "exit";
        QTest::newRow("x passed on") << defaults << int(Qt::Key_X) << "x" << none << "";
        QTest::newRow("F1 passed on") << defaults << int(Qt::Key_F1) << "" << none << "";

        QTest::newRow("shared letter: earlier wins")
            << QVariantMap{{SettingsKeys::redKey, "z"}, {SettingsKeys::eraserKey, "z"}}
            << int(Qt::Key_Z) << "z" << none << "preset0";
        const QVariantMap blueOnA{{SettingsKeys::blueKey, "a"}};
        QTest::newRow("moved letter") << blueOnA << int(Qt::Key_A) << "a" << none << "preset1";
        QTest::newRow("old letter freed") << blueOnA << int(Qt::Key_W) << "w" << none << "";
        const QVariantMap blueOnUpperA{{SettingsKeys::blueKey, "A"}};
        QTest::newRow("stored upper case, a")
            << blueOnUpperA << int(Qt::Key_A) << "a" << none << "";
        QTest::newRow("stored upper case, Shift+A")
            << blueOnUpperA << int(Qt::Key_A) << "A" << Qt::KeyboardModifiers(Qt::ShiftModifier)
            << "";

        const QString composed = QString::fromUtf8("\u00e9");
        const QString decomposed = QString::fromUtf8("e\u0301");
        QTest::newRow("é key, é stored") << QVariantMap{{SettingsKeys::greenKey, composed}}
                                         << int(Qt::Key_Eacute) << composed << none << "preset2";
        // A composing input method delivers text without a key code.
        QTest::newRow("e + accent typed, é stored")
            << QVariantMap{{SettingsKeys::greenKey, composed}} << int(Qt::Key_unknown) << decomposed
            << none << "preset2";
        QTest::newRow("é key, e + accent stored")
            << QVariantMap{{SettingsKeys::greenKey, decomposed}} << int(Qt::Key_Eacute) << composed
            << none << "preset2";
    }

    void keys()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(int, key);
        QFETCH(QString, text);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(QString, command);

        SettingsStore settings;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings.setString(it.value().toString(), it.key());
        KeySink parent;
        auto* view = new DrawingView(settings, &parent);
        QStringList log;
        logCommands(*view, log);

        QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
        QApplication::sendEvent(view, &event);
        QCOMPARE(log, command.isEmpty() ? QStringList() : QStringList{command});
        QCOMPARE(parent.keys, command.isEmpty() ? QList<int>{key} : QList<int>());
    }

    void rightClickExits_data()
    {
        QTest::addColumn<bool>("eraser");
        QTest::newRow("pen") << false;
        QTest::newRow("eraser") << true;
    }

    void rightClickExits()
    {
        QFETCH(bool, eraser);
        SettingsStore settings;
        DrawingView view(settings);
        view.resize(300, 200);
        QStringList log;
        logCommands(view, log);
        drawStroke(&view, {{20, 20}, {60, 20}});
        if (eraser)
            view.useEraser();
        // On the stroke, which must neither be erased nor be followed by a new one.
        QTest::mouseClick(&view, Qt::RightButton, {}, QPoint(20, 20));
        QCOMPARE(log, QStringList{"exit"});
        QCOMPARE(view.strokes().size(), 1);
        QCOMPARE(view.strokes()[0].points.size(), 2);
    }

    void cursorAndFocusFollowTheMode()
    {
        SettingsStore settings;
        QWidget window;
        auto* other = new QLineEdit(&window);
        auto* view = new DrawingView(settings, &window);
        QCOMPARE(view->cursor().shape(), Qt::CrossCursor);
        view->useEraser();
        QCOMPARE(view->mode(), DrawingMode::eraser);
        QVERIFY(view->cursor().shape() != Qt::CrossCursor);
        other->setFocus();
        QCOMPARE(window.focusWidget(), other);
        view->applyPen(green, 6);
        QCOMPARE(view->mode(), DrawingMode::pen);
        QCOMPARE(view->cursor().shape(), Qt::CrossCursor);
        QCOMPARE(window.focusWidget(), view);
    }

    void redLine_data() { bothScreens(); }

    void redLine()
    {
        QFETCH(QString, screen);
        QFETCH(qreal, dpr);
        SettingsStore settings;
        ShownCanvas canvas(settings, screenNamed(screen), {200, 100});
        QCOMPARE(canvas.view.devicePixelRatioF(), dpr);
        canvas.view.applyPen(red, 4);
        drawStroke(&canvas.view, {{20, 50}, {100, 50}, {180, 50}});
        // A click makes a one-point stroke: kept, but nothing to paint.
        drawStroke(&canvas.view, {{100, 10}});
        QCOMPARE(canvas.view.strokes().size(), 2);
        canvas.sync();

        const QList<QImage> images{canvas.shown, canvas.view.grab().toImage()};
        for (const QImage& image : images) {
            QCOMPARE(image.size(), QSize(200, 100) * dpr);
            const auto at = [&](int x, int y) { return image.pixelColor(QPoint(x, y) * dpr); };
            for (int x = 25; x <= 175; x += 10) {
                QCOMPARE(at(x, 49), red);
                QCOMPARE(at(x, 50), red);
                QCOMPARE(at(x, 45).alpha(), 0);
                QCOMPARE(at(x, 55).alpha(), 0);
            }
            // Round caps reach 2 px past the ends, no further.
            QCOMPARE(at(14, 50).alpha(), 0);
            QCOMPARE(at(186, 50).alpha(), 0);
            QCOMPARE(at(100, 10).alpha(), 0);
            QCOMPARE(at(99, 9).alpha(), 0);
        }
    }

    void pixelsMatchStrokesPaintedAfresh_data() { bothScreens(); }

    void pixelsMatchStrokesPaintedAfresh()
    {
        QFETCH(QString, screen);
        QFETCH(qreal, dpr);
        SettingsStore settings;
        const QSize size(320, 200);
        ShownCanvas canvas(settings, screenNamed(screen), size);
        DrawingView* view = &canvas.view;
        QCOMPARE(view->devicePixelRatioF(), dpr);

        QRandomGenerator random(7);
        const auto between = [&](double low, double high) {
            return low + random.bounded(high - low);
        };
        // A little beyond the edges too: drags leave the canvas.
        const auto somewhere = [&] {
            return QPointF(between(-20, size.width() + 20), between(-20, size.height() + 20));
        };
        const QList<QColor> colors{red, blue, green, violet};
        const QList<double> widths{1.5, 4, 9, 16};
        for (int i = 0; i < 40; ++i) {
            view->applyPen(colors[i % 4], widths[(i / 4) % 4]);
            QList<QPointF> points;
            points << somewhere();
            const int n = 2 + random.bounded(8);
            for (int k = 1; k < n; ++k)
                points << points.last() + QPointF(between(-60, 60), between(-60, 60));
            drawStroke(view, points);
            canvas.sync();
        }
        QCOMPARE(view->strokes().size(), 40);
        VERIFY_PIXELS(canvas);

        view->applyPen(red, 4);
        view->useEraser();
        const QList<QPointF> targets{view->strokes()[3].points.last(),
                                     view->strokes()[20].points.first(),
                                     view->strokes()[33].points[1]};
        press(view, targets[0]);
        canvas.sync();
        drag(view, targets[1]);
        canvas.sync();
        drag(view, targets[2]);
        canvas.sync();
        release(view, targets[2]);
        const qsizetype afterErasing = view->strokes().size();
        QVERIFY(afterErasing <= 37);
        QVERIFY(afterErasing >= 20);
        VERIFY_PIXELS(canvas);

        // A drag still going on, over the finished strokes.
        view->applyPen(violet, 12);
        press(view, {10, 10});
        for (int k = 1; k <= 6; ++k) {
            drag(view, {10.0 + 50 * k, k % 2 ? 180.0 : 20.0});
            canvas.sync();
        }
        QVERIFY(view->activeStrokeIndex());
        VERIFY_PIXELS(canvas);

        // Erasing a finished stroke while the drag goes on.
        const qsizetype beforeErasing = view->strokes().size();
        view->useEraser();
        drag(view, view->strokes()[0].points.first());
        QVERIFY(view->strokes().size() < beforeErasing);
        VERIFY_PIXELS(canvas);
        release(view, {0, 0});

        // Clearing in the middle of a drag: the rest of it draws nothing.
        view->applyPen(green, 4);
        press(view, {20, 100});
        drag(view, {100, 110});
        canvas.sync();
        view->clearStrokes();
        drag(view, {150, 120});
        drag(view, {200, 60});
        QVERIFY(view->strokes().isEmpty());
        VERIFY_PIXELS(canvas);
        release(view, {200, 60});
        QVERIFY(view->strokes().isEmpty());

        view->applyPen(blue, 9);
        drawStroke(view, {{20, 20}, {300, 180}});
        drawStroke(view, {{20, 180}, {300, 20}});
        VERIFY_PIXELS(canvas);
    }
};

QTEST_MAIN(TestDrawingView)
#include "tst_drawingview.moc"
