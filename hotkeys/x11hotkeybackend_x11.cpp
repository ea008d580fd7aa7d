#include "hotkeys/x11hotkeybackend.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QObject>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

namespace
{

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

struct KeySymbolsDeleter {
    void operator()(xcb_key_symbols_t* p) const { xcb_key_symbols_free(p); }
};

// Shift, Lock, Control and Mod1–Mod5; the bits above are mouse buttons and the XKB group.
constexpr uint16_t keyModifierBits = 0xff;

struct Grab {
    xcb_window_t root;
    uint16_t modifiers;
    xcb_keycode_t keycode;
};

struct Registration {
    EventHotKeyID id;
    std::vector<xcb_keycode_t> keycodes;
    std::vector<Grab> grabs;
};

std::vector<xcb_keycode_t> keycodesOf(xcb_key_symbols_t* symbols, xcb_keysym_t keysym)
{
    std::vector<xcb_keycode_t> result;
    Reply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols, keysym));
    for (const xcb_keycode_t* code = codes.get(); code && *code != XCB_NO_SYMBOL; ++code) {
        if (std::find(result.begin(), result.end(), *code) == result.end())
            result.push_back(*code);
    }
    return result;
}

// The modifier bit NumLock sets; it moves with the keyboard map, though it is Mod2 nearly always.
uint16_t numLockMask(xcb_connection_t* connection, xcb_key_symbols_t* symbols)
{
    const std::vector<xcb_keycode_t> numLock = keycodesOf(symbols, XK_Num_Lock);
    Reply<xcb_get_modifier_mapping_reply_t> mapping(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (!mapping || numLock.empty())
        return 0;
    const int perModifier = mapping->keycodes_per_modifier;
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(mapping.get());
    for (int i = 0; i < 8 * perModifier; ++i) {
        if (std::find(numLock.begin(), numLock.end(), keycodes[i]) != numLock.end())
            return uint16_t(1 << (i / perModifier));
    }
    return 0;
}

// Waits until the server has handled everything sent so far, so other clients see the result.
void sync(xcb_connection_t* connection)
{
    Reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

} // namespace

class X11HotKeyBackend::Private : public QObject, public QAbstractNativeEventFilter
{
public:
    Private(X11HotKeyBackend& backend, xcb_connection_t* connection);
    ~Private() override;

    bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode);
    void unregisterHotKey(EventHotKeyID id);
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    void ungrab(const std::vector<Grab>& grabs);
    const Registration* registrationFor(xcb_keycode_t keycode) const;

    X11HotKeyBackend& m_backend;
    xcb_connection_t* m_connection;
    std::vector<xcb_window_t> m_roots;
    uint16_t m_numLockMask = 0;
    std::vector<Registration> m_registrations;
    // Time of the last release per keycode, to tell auto-repeat from a new press.
    std::array<xcb_timestamp_t, 256> m_lastRelease{};
};

X11HotKeyBackend::Private::Private(X11HotKeyBackend& backend, xcb_connection_t* connection)
    : m_backend(backend), m_connection(connection)
{
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem;
         xcb_screen_next(&it))
        m_roots.push_back(it.data->root);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

// The filter leaves the application in ~QAbstractNativeEventFilter.
X11HotKeyBackend::Private::~Private()
{
    for (const Registration& registration : m_registrations)
        ungrab(registration.grabs);
    sync(m_connection);
}

bool X11HotKeyBackend::Private::registerHotKey(EventHotKeyID id, quint32 virtualKeyCode)
{
    unregisterHotKey(id);
    const int number = functionKeyNumber(virtualKeyCode);
    if (number == 0)
        return false;

    std::unique_ptr<xcb_key_symbols_t, KeySymbolsDeleter> symbols(
        xcb_key_symbols_alloc(m_connection));
    if (!symbols)
        return false;
    m_numLockMask = numLockMask(m_connection, symbols.get());
    Registration registration{id, keycodesOf(symbols.get(), XK_F1 + xcb_keysym_t(number - 1)), {}};
    if (registration.keycodes.empty())
        return false;
    // Two ids on one key would share, and then drop, each other's grabs.
    for (xcb_keycode_t keycode : registration.keycodes) {
        if (registrationFor(keycode))
            return false;
    }

    // The key must fire whatever the state of CapsLock and NumLock, and X matches modifiers
    // exactly, so each key takes four grabs.
    std::vector<uint16_t> modifierSets;
    for (uint16_t lock : {uint16_t(0), uint16_t(XCB_MOD_MASK_LOCK)}) {
        for (uint16_t numLock : {uint16_t(0), m_numLockMask}) {
            if (std::find(modifierSets.begin(), modifierSets.end(), lock | numLock) ==
                modifierSets.end())
                modifierSets.push_back(lock | numLock);
        }
    }

    std::vector<std::pair<Grab, xcb_void_cookie_t>> requests;
    for (xcb_window_t root : m_roots) {
        for (uint16_t modifiers : modifierSets) {
            for (xcb_keycode_t keycode : registration.keycodes) {
                requests.push_back(
                    {{root, modifiers, keycode},
                     xcb_grab_key_checked(m_connection, 0, root, modifiers, keycode,
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)});
            }
        }
    }
    bool refused = false;
    for (const auto& [grab, cookie] : requests) {
        // BadAccess: another client holds this combination.
        if (Reply<xcb_generic_error_t>(xcb_request_check(m_connection, cookie)))
            refused = true;
        else
            registration.grabs.push_back(grab);
    }
    if (refused) {
        ungrab(registration.grabs);
        sync(m_connection);
        return false;
    }
    m_registrations.push_back(std::move(registration));
    return true;
}

void X11HotKeyBackend::Private::unregisterHotKey(EventHotKeyID id)
{
    auto it = std::find_if(m_registrations.begin(), m_registrations.end(),
                           [id](const Registration& r) { return r.id == id; });
    if (it == m_registrations.end())
        return;
    ungrab(it->grabs);
    m_registrations.erase(it);
    sync(m_connection);
}

void X11HotKeyBackend::Private::ungrab(const std::vector<Grab>& grabs)
{
    for (const Grab& grab : grabs)
        xcb_ungrab_key(m_connection, grab.keycode, grab.root, grab.modifiers);
}

const Registration* X11HotKeyBackend::Private::registrationFor(xcb_keycode_t keycode) const
{
    for (const Registration& registration : m_registrations) {
        const auto& codes = registration.keycodes;
        if (std::find(codes.begin(), codes.end(), keycode) != codes.end())
            return &registration;
    }
    return nullptr;
}

// Sees every key event of the connection: presses through the passive grabs on the root, and
// also those X sends to our own windows while one of them holds the keyboard, as the pen overlay
// does, because then the active grab wins over the passive one.
bool X11HotKeyBackend::Private::nativeEventFilter(const QByteArray& eventType, void* message,
                                                  qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const uint8_t type = event->response_type & ~0x80;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
        return false;
    // Press and release events share one layout.
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    const Registration* registration = registrationFor(key->detail);
    if (!registration)
        return false;
    if (type == XCB_KEY_RELEASE)
        m_lastRelease[key->detail] = key->time;
    const uint16_t ignored = XCB_MOD_MASK_LOCK | m_numLockMask;
    if ((key->state & keyModifierBits & ~ignored) != 0)
        return false;
    // Qt does not ask XKB for detectable auto-repeat, so a held key repeats as a release and a
    // press with the same time. Comparing times, not tracking which keys are down, stays right
    // when the release of a press went to another client because our own grab ended meanwhile.
    if (type == XCB_KEY_PRESS && key->time != m_lastRelease[key->detail]) {
        const EventHotKeyID id = registration->id;
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                if (m_backend.onPressed)
                    m_backend.onPressed(id);
            },
            Qt::QueuedConnection);
    }
    return true;
}

X11HotKeyBackend::X11HotKeyBackend(xcb_connection_t* connection)
    : m_private(std::make_unique<Private>(*this, connection))
{
}

X11HotKeyBackend::~X11HotKeyBackend() = default;

bool X11HotKeyBackend::registerHotKey(EventHotKeyID id, quint32 virtualKeyCode)
{
    return m_private->registerHotKey(id, virtualKeyCode);
}

void X11HotKeyBackend::unregisterHotKey(EventHotKeyID id)
{
    m_private->unregisterHotKey(id);
}
