// Key presses come from xdotool, a client of its own; our own xcb connection plays the other
// program that competes for the same keys or the keyboard.

#include "hotkeys/x11hotkeybackend.h"
#include "xcbsupport.h"

#include <QGuiApplication>
#include <QTest>
#include <QWidget>

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

} // namespace

class TestX11HotKeyBackend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
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
        for (bool own : {false, true}) {
            const auto row = [own](const char* locks, const char* keys, QList<quint32> expected) {
                QTest::addRow("%s: %s %s", own ? "own grab" : "passive grab", locks, keys)
                    << own << QString(locks) << QString(keys) << expected;
            };
            row("", "key F8", {2});
            row("Num_Lock", "key F8", {2});
            row("Caps_Lock", "key F9", {1});
            row("Num_Lock Caps_Lock", "key F8", {2});
            row("Num_Lock", "key F7 shift+F8 super+F9", {});
            // Held past the server's auto-repeat delay, 660 ms unless configured.
            row("", "keydown F8 sleep 1 keyup F8", {2});
        }
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

private:
    xcb_keycode_t m_f8 = 0, m_f9 = 0;
    std::unique_ptr<HotKeyBackend> m_backend;
    QList<quint32> m_pressed;
};

QTEST_MAIN(TestX11HotKeyBackend)
#include "tst_x11hotkeybackend.moc"
