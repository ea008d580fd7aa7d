// The X11 backends on the test desktop: monitors L and R (960x1080 each), a compositor. Key
// presses come from xdotool, a client of its own; our own xcb connection plays the other program
// that competes for the same keys or the keyboard. A window with a different colour in every
// pixel covers R for the capturer, so any misplaced, scaled or mis-ordered pixel shows.

#include "app/applicationsetup.h"
#include "hotkeys/x11hotkeybackend.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "overlay/stroke.h"
#include "screenshot/screencapturer.h"
#include "screenshot/settlewatch.h"
#include "settings/settingsstore.h"
#include "testsupport.h"
#include "xcbsupport.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <X11/keysym.h>

using namespace XcbSupport;

namespace
{

// NumLock sits on Mod2 in the test server's keymap.
constexpr uint16_t kNumLock = XCB_MOD_MASK_2;
constexpr uint16_t kLockVariants[] = {0, XCB_MOD_MASK_LOCK, kNumLock, XCB_MOD_MASK_LOCK | kNumLock};

// Whether nobody holds the key in any lock state.
bool keyIsFree(xcb_keycode_t key)
{
    bool free = true;
    for (uint16_t modifiers : kLockVariants)
        free = grabKey(key, modifiers) && free;
    ungrabKey(key);
    return free;
}

bool keyboardIsFree()
{
    const auto async = XCB_GRAB_MODE_ASYNC;
    auto r = reply(xcb_grab_keyboard_reply(
        x(), xcb_grab_keyboard(x(), 0, root(), XCB_CURRENT_TIME, async, async), nullptr));
    reply(xcb_request_check(x(), xcb_ungrab_keyboard_checked(x(), XCB_CURRENT_TIME)));
    return r && r->status == XCB_GRAB_STATUS_SUCCESS;
}

// The overlay's situation: a window of ours holds the keyboard, so X skips passive grabs.
bool holdKeyboard(QWidget& window)
{
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return false;
    window.grabKeyboard();
    return QTest::qWaitFor([] { return !keyboardIsFree(); }, 2000);
}

// Of R, what the pattern window shows: the bottom rows hold the tray host.
const QRect kPattern(0, 0, 960, 1000);

// The pattern over `area` of R (native pixels from R's top-left), unique per pixel; copy()
// leaves what is off the monitor transparent.
QImage expected(const QRect& area)
{
    static const QImage pattern = [] {
        QImage image(960, 1080, QImage::Format_ARGB32);
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 960; ++x)
                image.setPixel(x, y, qRgb(x & 0xff, y & 0xff, 0x80 | x >> 8 | y >> 8 << 2));
        return image;
    }();
    return pattern.copy(area);
}

// Waits for the stills and gives that screen's, in ARGB32; null after a failure or for a screen
// without one.
QImage stillOf(ScreenCapturer& capturer, const QScreen* screen, const QRegion& vacated = {})
{
    std::optional<StillsResult> result;
    capturer.grabStills([&](const StillsResult& r) { result = r; }, vacated);
    if (!QTest::qWaitFor([&] { return result.has_value(); }) ||
        result->status != StillsResult::Status::Taken)
        return {};
    for (const ScreenStill& still : result->stills)
        if (still.screen == screen)
            return still.image.convertToFormat(QImage::Format_ARGB32);
    return {};
}

// Of L below the toolbar, what the root shows: exactly `stroke` over `before`, red where it covers
// a pixel, and `before` where it does not touch.
bool shows(const QImage& before, const std::optional<Stroke>& stroke)
{
    QImage expected(before.size(), QImage::Format_ARGB32_Premultiplied);
    expected.fill(Qt::transparent);
    if (QPainter painter(&expected); stroke) {
        painter.setRenderHint(QPainter::Antialiasing);
        paintStroke(painter, *stroke);
    }
    const QImage now = grab(QRect(0, 0, 960, 1080));
    for (int y = 100; y < now.height(); ++y)
        for (int x = 0; x < now.width(); ++x) {
            const int alpha = qAlpha(expected.pixel(x, y));
            if ((alpha == 255 && now.pixel(x, y) != SettingsDefaults::systemRed.rgb()) ||
                (alpha == 0 && now.pixel(x, y) != before.pixel(x, y)))
                return false;
        }
    return true;
}

QScreen* screenNamed(const QString& name)
{
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->name() == name)
            return screen;
    return nullptr;
}

} // namespace

class TestX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(TestSupport::isolateSettings());
        QVERIFY(screenNamed("L") && m_right);
        QVERIFY((m_f8 = keycode(XK_F8)) && (m_f9 = keycode(XK_F9)));
        // Else a held key would not repeat and the row for it could not fail.
        auto keyboard =
            reply(xcb_get_keyboard_control_reply(x(), xcb_get_keyboard_control(x()), nullptr));
        QVERIFY(keyboard && keyboard->global_auto_repeat &&
                keyboard->auto_repeats[m_f8 / 8] >> m_f8 % 8 & 1);
    }

    void init()
    {
        if (!m_backend)
            m_backend = createHotKeyBackend();
        m_backend->onPressed = [this](EventHotKeyID id) {
            m_pressed << (id.signature == HotKeyIDs::signature ? id.id : 0);
        };
        QVERIFY(m_backend->registerHotKey(HotKeyIDs::pen, functionKeyCode(8)));
        QVERIFY(m_backend->registerHotKey(HotKeyIDs::screenshot, functionKeyCode(9)));
        m_pressed.clear();
    }

    void presses_data()
    {
        QTest::addColumn<bool>("ownGrab");
        QTest::addColumn<QString>("locks");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QList<quint32>>("expected");
        const auto row = [](bool own, const char* locks, const char* keys,
                            QList<quint32> expected) {
            QTest::addRow("%s: %s %s", own ? "own grab" : "passive grab", locks, keys)
                << own << QString(locks) << QString(keys) << expected;
        };
        // A passive grab for each lock state is proven by the refusal case; through our own
        // grab, the filter must see past each lock alone and past other modifiers.
        row(false, "", "key F8", {2});
        row(true, "Num_Lock", "key F8", {2});
        row(true, "Caps_Lock", "key F9", {1});
        row(true, "Num_Lock", "key F7 shift+F8 super+F9", {});
        // Held past the server's auto-repeat delay, 660 ms unless configured.
        row(true, "", "keydown F8 sleep 1 keyup F8", {2});
    }

    void presses()
    {
        QFETCH(bool, ownGrab);
        QFETCH(QString, locks);
        QFETCH(QString, keys);
        QFETCH(QList<quint32>, expected);
        QWidget window;
        QVERIFY(!ownGrab || holdKeyboard(window));
        auto restoreLocks = qScopeGuard([&] { xdotool("key " + locks); });
        QVERIFY(locks.isEmpty() || xdotool("key " + locks));
        auto pointer = reply(xcb_query_pointer_reply(x(), xcb_query_pointer(x(), root()), nullptr));
        QCOMPARE(pointer->mask & (XCB_MOD_MASK_LOCK | kNumLock),
                 (locks.contains("Caps") ? XCB_MOD_MASK_LOCK : 0) |
                     (locks.contains("Num") ? kNumLock : 0));
        // F9 last: once it shows, every earlier press has been handled.
        QVERIFY(xdotool(keys + " key F9"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pressed, expected + QList<quint32>{1}, 2000);
    }

    // Unregistered, a key is free for another client; held by one in any lock variant, it is
    // refused, every grab made meanwhile rolled back: the later the held variant is tried, the
    // more. The backend gone, its keys are free. Last, as it takes the backend.
    void refusedWhileHeldFreedWhenGone()
    {
        m_backend->unregisterHotKey(HotKeyIDs::screenshot);
        for (uint16_t held : kLockVariants) {
            QVERIFY(grabKey(m_f9, held));
            const bool registered =
                m_backend->registerHotKey(HotKeyIDs::screenshot, functionKeyCode(9));
            ungrabKey(m_f9);
            QVERIFY(!registered);
            QVERIFY(keyIsFree(m_f9));
        }
        QVERIFY(!keyIsFree(m_f8));
        m_backend.reset();
        QVERIFY(keyIsFree(m_f8));
    }

    void stillOfR()
    {
        QLabel window(nullptr, Qt::Window | Qt::X11BypassWindowManagerHint);
        window.setPixmap(QPixmap::fromImage(expected({0, 0, 960, 1080})));
        window.setGeometry(m_right->geometry());
        window.show();
        // Until the compositor shows the window.
        QTRY_COMPARE(stillOf(*m_capturer, m_right).copy(kPattern), expected(kPattern));
        QVERIFY(m_capturer->compositing());
    }

    // Where our windows were just hidden, the stills wait until the screen stops changing, but
    // not for ever.
    void waitsForTheVacatedAreaNotForEver()
    {
        const QRect area(100, 100, 200, 100);
        QWidget window(nullptr, Qt::Window | Qt::X11BypassWindowManagerHint);
        window.setAutoFillBackground(true);
        window.setGeometry(area);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // From here on, a new colour every few milliseconds, as a playing video shows.
        QTimer timer;
        connect(&timer, &QTimer::timeout, &window,
                [&window, frame = 0]() mutable { window.setPalette(QColor(0, ++frame % 256, 0)); });
        QElapsedTimer clock;
        clock.start();
        timer.start(8);
        QVERIFY(!stillOf(*m_capturer, screenNamed("L"), area).isNull());
        QVERIFY2(clock.elapsed() >= SettleWatch::giveUpMs && clock.elapsed() < 1500,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void removedMonitor()
    {
        const auto xrandr = [](const QStringList& args) { return run("xrandr", args); };
        QVERIFY(xrandr({"--setmonitor", "T", "100/26x100/26+0+0", "none"}));
        // The other X11 tests expect the two monitors only.
        auto restore = qScopeGuard([&] { xrandr({"--delmonitor", "T"}); });
        QScreen* added = nullptr;
        QTRY_VERIFY((added = screenNamed("T")));
        QVERIFY(m_capturer->displayID(added));
        restore.dismiss();
        QVERIFY(xrandr({"--delmonitor", "T"}));
        // Qt has not yet heard of the removal; the capturer must not answer from memory.
        QVERIFY(!m_capturer->displayID(added));
        QVERIFY(stillOf(*m_capturer, added).isNull());
        QTRY_VERIFY(!screenNamed("T"));
    }

    // Motion events sent through XTest while the program is busy queue up, and each must still
    // become a point of the stroke.
    void everyMotionEventIsAPoint()
    {
        setUpApplication();
        SettingsStore settings;
        OverlayManager overlay(settings);
        overlay.show({}, {});
        DrawingView* right = overlay.drawingViews().back();
        QVERIFY(QTest::qWaitForWindowExposed(right->window()));
        // xdotool sends as fast as it can and this process reads nothing meanwhile, so all 200
        // moves wait in the queue together.
        QString commands = "mousemove 1000 500 mousedown 1";
        for (int i = 1; i <= 200; ++i)
            commands += QString(" mousemove %1 %2").arg(1000 + 4 * i).arg(i % 2 ? 540 : 500);
        QVERIFY(xdotool(commands + " mouseup 1"));
        QTRY_VERIFY(!right->strokes().isEmpty() && !right->activeStrokeIndex());
        QCOMPARE_GE(right->strokes().front().points.size(), 150);
        overlay.hide();
    }

    // Keys held from the press, or pressed and released once the path has wandered, the pointer
    // still, pick the shape spanned by the press and the release, on L while R has the keyboard;
    // the path never shows, live or after the release.
    void shapes_data()
    {
        QTest::addColumn<QString>("held");
        QTest::addColumn<StrokeShape>("shape");
        QTest::addColumn<QPoint>("outline"); // where it must be red, away from the corners
        QTest::addColumn<QString>("midDrag");
        QTest::newRow("line") << "shift" << StrokeShape::line << QPoint(300, 400) << QString();
        QTest::newRow("rectangle") << "ctrl" << StrokeShape::rectangle << QPoint(300, 300) << "";
        // On the head's wing, off the shaft, near the pointer's end.
        QTest::newRow("arrow") << "ctrl shift" << StrokeShape::arrow << QPoint(484, 500) << "";
        QTest::newRow("ellipse") << "space" << StrokeShape::ellipse << QPoint(300, 300) << "";
        QTest::newRow("changed mid-drag") << "" << StrokeShape::rectangle << QPoint(500, 400)
                                          << "keydown ctrl keydown shift keyup shift";
    }

    // Undo and redo take the shape away and back whole, the eraser inside it leaves it and on its
    // outline takes it.
    void shapes()
    {
        QFETCH(QString, held);
        QFETCH(StrokeShape, shape);
        QFETCH(QPoint, outline);
        QFETCH(QString, midDrag);
        setUpApplication();
        SettingsStore settings;
        OverlayManager overlay(settings);
        overlay.show({}, {});
        DrawingView* left = overlay.drawingViews().front();
        QVERIFY(QTest::qWaitForWindowExposed(left->window()));
        QTest::qWait(300); // for the toolbar
        const QImage before = grab(QRect(0, 0, 960, 1080));
        // Time between the steps for each to be painted, as a hand gives it, this process
        // handling them meanwhile.
        QString hand = held.isEmpty() ? "" : " keydown " + held.split(' ').join(" keydown ");
        hand += " mousemove 100 300 mousedown 1";
        for (const QPoint p : {QPoint(700, 800), {50, 700}, {800, 200}, {500, 500}})
            hand += QString(" sleep 0.1 mousemove %1 %2").arg(p.x()).arg(p.y());
        QProcess xdotoolRun;
        xdotoolRun.start("xdotool",
                         (hand + " sleep 0.1 " + midDrag).split(' ', Qt::SkipEmptyParts));
        QVERIFY(QTest::qWaitFor([&] { return xdotoolRun.state() == QProcess::NotRunning; }));
        const Stroke drawn{{{100, 300}, {500, 500}}, SettingsDefaults::systemRed, 4, shape};
        QTRY_VERIFY(shows(before, drawn));
        QVERIFY(xdotool("mouseup 1 keyup ctrl keyup shift keyup space"));
        QTRY_VERIFY(!left->activeStrokeIndex() && shows(before, drawn));
        QCOMPARE(grab(QRect(outline, QSize(1, 1))).pixel(0, 0), SettingsDefaults::systemRed.rgb());
        QVERIFY(xdotool("key BackSpace"));
        QTRY_VERIFY(shows(before, {}));
        QVERIFY(xdotool("key shift+BackSpace"));
        QTRY_VERIFY(shows(before, drawn));
        QVERIFY(xdotool("key z mousemove 200 450 click 1"));
        QTest::qWait(200);
        QCOMPARE(left->strokes().size(), 1);
        QVERIFY(xdotool(QString("mousemove %1 %2 click 1").arg(outline.x()).arg(outline.y())));
        QTRY_VERIFY(shows(before, {}));
        overlay.hide();
    }

private:
    xcb_keycode_t m_f8 = 0, m_f9 = 0;
    std::unique_ptr<HotKeyBackend> m_backend;
    QList<quint32> m_pressed;
    std::unique_ptr<ScreenCapturer> m_capturer = createScreenCapturer();
    QScreen* const m_right = screenNamed("R");
};

QTEST_MAIN(TestX11)
#include "tst_x11.moc"
