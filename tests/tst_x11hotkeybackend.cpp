// Key presses come from xdotool, a client of its own; a second X connection plays the other
// program that competes for the same keys or holds the focus.

#include "hotkeys/x11hotkeybackend.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>

namespace
{

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// NumLock sits on Mod2 in the test server's keymap.
constexpr uint16_t numLockMask = XCB_MOD_MASK_2;
constexpr uint16_t lockMasks = XCB_MOD_MASK_LOCK | numLockMask;
constexpr uint16_t lockVariants[] = {0, XCB_MOD_MASK_LOCK, numLockMask, lockMasks};

xcb_connection_t* appConnection()
{
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_window_t rootOf(xcb_connection_t* c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

xcb_keycode_t keycode(xcb_keysym_t keysym)
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(appConnection());
    Reply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols, keysym));
    xcb_key_symbols_free(symbols);
    return codes ? codes.get()[0] : XCB_NO_SYMBOL;
}

uint16_t lockState()
{
    xcb_connection_t* c = appConnection();
    Reply<xcb_query_pointer_reply_t> r(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, rootOf(c)), nullptr));
    return r ? r->mask & lockMasks : 0xffff;
}

// xdotool syncs with the server before it exits, so its keys have been handled on return.
bool xdotool(const QString& command, const QString& keys)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), QStringList{command} + keys.split(' ', Qt::SkipEmptyParts));
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Another program on the same X server.
class OtherClient
{
public:
    OtherClient() : m_c(xcb_connect(nullptr, nullptr)), m_root(rootOf(m_c)) {}
    ~OtherClient() { xcb_disconnect(m_c); }

    bool grabKey(xcb_keycode_t key, uint16_t modifiers)
    {
        return !Reply<xcb_generic_error_t>(
            xcb_request_check(m_c, xcb_grab_key_checked(m_c, 0, m_root, modifiers, key,
                                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
    }

    void ungrabKey(xcb_keycode_t key, uint16_t modifiers)
    {
        xcb_request_check(m_c, xcb_ungrab_key_checked(m_c, key, m_root, modifiers));
    }

    // Whether nobody holds the key in any lock state; leaves it as it was.
    bool keyIsFree(xcb_keycode_t key)
    {
        bool free = true;
        for (uint16_t modifiers : lockVariants) {
            const bool grabbed = grabKey(key, modifiers);
            free = free && grabbed;
            if (grabbed)
                ungrabKey(key, modifiers);
        }
        return free;
    }

    bool keyboardIsFree()
    {
        Reply<xcb_grab_keyboard_reply_t> r(
            xcb_grab_keyboard_reply(m_c,
                                    xcb_grab_keyboard(m_c, 0, m_root, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr));
        xcb_request_check(m_c, xcb_ungrab_keyboard_checked(m_c, XCB_CURRENT_TIME));
        return r && r->status == XCB_GRAB_STATUS_SUCCESS;
    }

    void takeFocus()
    {
        const xcb_window_t window = xcb_generate_id(m_c);
        const uint32_t values[] = {1, XCB_EVENT_MASK_KEY_RELEASE};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, window, m_root, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(m_c, window);
        xcb_request_check(m_c, xcb_set_input_focus_checked(m_c, XCB_INPUT_FOCUS_POINTER_ROOT,
                                                           window, XCB_CURRENT_TIME));
    }

    bool receivedRelease(xcb_keycode_t key)
    {
        while (Reply<xcb_generic_event_t> e{xcb_poll_for_event(m_c)}) {
            if ((e->response_type & ~0x80) == XCB_KEY_RELEASE)
                m_released << reinterpret_cast<xcb_key_release_event_t*>(e.get())->detail;
        }
        return m_released.contains(key);
    }

private:
    xcb_connection_t* m_c;
    xcb_window_t m_root;
    QList<xcb_keycode_t> m_released;
};

// Counts the presses of one key that reach the application, auto-repeats included. Installed
// after the backend's filter, so it sees them first.
class PressCounter : public QAbstractNativeEventFilter
{
public:
    explicit PressCounter(xcb_keycode_t key) : m_key(key)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray&, void* message, qintptr*) override
    {
        auto* event = static_cast<xcb_key_press_event_t*>(message);
        count += (event->response_type & ~0x80) == XCB_KEY_PRESS && event->detail == m_key;
        return false;
    }

    int count = 0;

private:
    xcb_keycode_t m_key;
};

} // namespace

class TestX11HotKeyBackend : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(!QStandardPaths::findExecutable("xdotool").isEmpty(), "xdotool is missing");
        m_f8 = keycode(XK_F8);
        m_f9 = keycode(XK_F9);
        QVERIFY(m_f8 != XCB_NO_SYMBOL && m_f9 != XCB_NO_SYMBOL);
    }

    void init()
    {
        if (!m_backend)
            m_backend = createHotKeyBackend();
        QVERIFY(dynamic_cast<X11HotKeyBackend*>(m_backend.get()));
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
            const auto row = [own](const char* name, const char* locks, const char* keys,
                                   const QList<quint32>& expected) {
                QTest::addRow("%s: %s", own ? "own grab" : "passive grab", name)
                    << own << QString(locks) << QString(keys) << expected;
            };
            row("F8", "", "F8", {2});
            row("F9", "", "F9", {1});
            row("F8 F8", "", "F8 F8", {2, 2});
            row("NumLock", "Num_Lock", "F8", {2});
            row("CapsLock", "Caps_Lock", "F9", {1});
            row("both locks", "Num_Lock Caps_Lock", "F8", {2});
            row("F7", "", "F7", {});
            row("Shift+F8", "", "shift+F8", {});
            row("Ctrl+F8", "", "ctrl+F8", {});
            row("NumLock Super+F9", "Num_Lock", "super+F9", {});
        }
    }

    void presses()
    {
        QFETCH(bool, ownGrab);
        QFETCH(QString, locks);
        QFETCH(QString, keys);
        QFETCH(QList<quint32>, expected);

        QWidget window;
        if (ownGrab)
            QVERIFY(holdKeyboard(window));
        auto restoreLocks = qScopeGuard([&] { xdotool("key", locks); });
        QVERIFY(locks.isEmpty() || xdotool("key", locks));
        QCOMPARE(lockState(), uint16_t((locks.contains("Caps") ? XCB_MOD_MASK_LOCK : 0) |
                                       (locks.contains("Num") ? numLockMask : 0)));

        // F9 last: once it shows, every earlier press has been handled.
        QVERIFY(xdotool("key", keys + " F9"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pressed, expected + QList<quint32>{1}, 2000);
    }

    void heldKeyFiresOnce_data()
    {
        QTest::addColumn<bool>("ownGrab");
        QTest::newRow("passive grab") << false;
        QTest::newRow("own grab") << true;
    }

    void heldKeyFiresOnce()
    {
        QFETCH(bool, ownGrab);
        QWidget window;
        if (ownGrab)
            QVERIFY(holdKeyboard(window));
        PressCounter counter(m_f8);
        auto release = qScopeGuard([] { xdotool("keyup", "F8"); });
        QVERIFY(xdotool("keydown", "F8"));
        // Auto-repeat starts after the server's delay, 660 ms unless configured.
        QTRY_VERIFY_WITH_TIMEOUT(counter.count >= 3, 3000);
        QVERIFY(xdotool("keyup", "F8"));
        QVERIFY(xdotool("key", "F9"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pressed, (QList<quint32>{2, 1}), 2000);
    }

    // Like the overlay, which lets the keyboard go when F8 closes it: the release of that F8
    // goes to the program with the focus, and the next press must still count.
    void pressAfterReleaseWentElsewhere()
    {
        QWidget window;
        OtherClient focusOwner;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        focusOwner.takeFocus();
        QVERIFY(holdKeyboard(window));
        m_backend->onPressed = [&](EventHotKeyID id) {
            m_pressed << id.id;
            window.releaseKeyboard();
        };

        auto release = qScopeGuard([] { xdotool("keyup", "F8"); });
        QVERIFY(xdotool("keydown", "F8"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pressed, QList<quint32>{2}, 2000);
        QTRY_VERIFY_WITH_TIMEOUT(m_other.keyboardIsFree(), 2000);
        QVERIFY(xdotool("keyup", "F8"));
        QTRY_VERIFY_WITH_TIMEOUT(focusOwner.receivedRelease(m_f8), 2000);

        QVERIFY(xdotool("key", "F8 F9"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pressed, (QList<quint32>{2, 2, 1}), 2000);
    }

    void refusedWhileAnotherClientHoldsTheKey_data()
    {
        QTest::addColumn<uint16_t>("heldModifiers");
        // The later the held variant is tried, the more grabs must be rolled back.
        for (uint16_t modifiers : lockVariants)
            QTest::addRow("modifiers %#x", modifiers) << modifiers;
    }

    void refusedWhileAnotherClientHoldsTheKey()
    {
        QFETCH(uint16_t, heldModifiers);
        m_backend->unregisterHotKey(HotKeyIDs::screenshot);
        QVERIFY(m_other.grabKey(m_f9, heldModifiers));
        const bool registered =
            m_backend->registerHotKey(HotKeyIDs::screenshot, functionKeyCode(9));
        m_other.ungrabKey(m_f9, heldModifiers);
        QVERIFY(!registered);
        QVERIFY(m_other.keyIsFree(m_f9));

        QVERIFY(m_backend->registerHotKey(HotKeyIDs::screenshot, functionKeyCode(9)));
        QVERIFY(xdotool("key", "F8 F9"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pressed, (QList<quint32>{2, 1}), 2000);
    }

    void keyFreeAgain_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("unregistered") << false;
        QTest::newRow("backend destroyed") << true;
    }

    void keyFreeAgain()
    {
        QFETCH(bool, destroy);
        QVERIFY(!m_other.keyIsFree(m_f8));
        if (destroy)
            m_backend.reset();
        else
            m_backend->unregisterHotKey(HotKeyIDs::pen);
        QVERIFY(m_other.keyIsFree(m_f8));
        QCOMPARE(m_other.keyIsFree(m_f9), destroy);
        if (!destroy) {
            QVERIFY(xdotool("key", "F8 F9"));
            QTRY_COMPARE_WITH_TIMEOUT(m_pressed, QList<quint32>{1}, 2000);
        }
    }

private:
    // The overlay's situation: a window of ours holds the keyboard, so X skips passive grabs.
    bool holdKeyboard(QWidget& window)
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return false;
        window.grabKeyboard();
        return QTest::qWaitFor([this] { return !m_other.keyboardIsFree(); }, 2000);
    }

    OtherClient m_other;
    xcb_keycode_t m_f8 = XCB_NO_SYMBOL;
    xcb_keycode_t m_f9 = XCB_NO_SYMBOL;
    std::unique_ptr<HotKeyBackend> m_backend;
    QList<quint32> m_pressed;
};

QTEST_MAIN(TestX11HotKeyBackend)
#include "tst_x11hotkeybackend.moc"
