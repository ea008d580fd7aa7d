#pragma once

// Helpers of the X11 tests: a plain xcb client of our own, apart from Qt's, that plays the
// other program on the server, and xdotool for real input through XTest.

#include <QImage>
#include <QProcess>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>

namespace XcbSupport
{

// Owns what xcb hands out.
template <typename T> auto reply(T* r)
{
    return std::unique_ptr<T, decltype(&std::free)>(r, &std::free);
}

inline xcb_connection_t* x()
{
    static xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    return connection;
}

inline xcb_window_t root()
{
    return xcb_setup_roots_iterator(xcb_get_setup(x())).data->root;
}

inline xcb_window_t selectionOwner(const char* selection)
{
    auto atom = reply(xcb_intern_atom_reply(
        x(), xcb_intern_atom(x(), 0, uint16_t(qstrlen(selection)), selection), nullptr));
    auto r = reply(xcb_get_selection_owner_reply(
        x(), xcb_get_selection_owner(x(), atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE)), nullptr));
    return r ? r->owner : xcb_window_t(XCB_WINDOW_NONE);
}

inline xcb_keycode_t keycode(xcb_keysym_t keysym)
{
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(x());
    auto codes = reply(xcb_key_symbols_get_keycode(symbols, keysym));
    xcb_key_symbols_free(symbols);
    return codes ? *codes : xcb_keycode_t(0);
}

// False when another client holds the combination (BadAccess).
inline bool grabKey(xcb_keycode_t key, uint16_t modifiers = 0)
{
    return !reply(
        xcb_request_check(x(), xcb_grab_key_checked(x(), 1, root(), modifiers, key,
                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
}

// Round trip, so other clients see the ungrab.
inline void ungrabKey(xcb_keycode_t key)
{
    reply(xcb_request_check(x(), xcb_ungrab_key_checked(x(), key, root(), XCB_MOD_MASK_ANY)));
}

// What the screen shows, windows and compositor included; all of the test desktop by default.
inline QImage grab(const QRect& area = QRect(0, 0, 1920, 1080))
{
    auto r = reply(xcb_get_image_reply(
        x(),
        xcb_get_image(x(), XCB_IMAGE_FORMAT_Z_PIXMAP, root(), int16_t(area.x()), int16_t(area.y()),
                      uint16_t(area.width()), uint16_t(area.height()), ~0u),
        nullptr));
    if (!r || xcb_get_image_data_length(r.get()) != area.width() * area.height() * 4)
        return {};
    return QImage(xcb_get_image_data(r.get()), area.width(), area.height(), QImage::Format_RGB32)
        .copy();
}

inline bool run(const QString& program, const QStringList& arguments, QByteArray* out = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// xdotool syncs with the server before it exits, so its input has been handled on return.
inline bool xdotool(const QString& commands)
{
    return run("xdotool", commands.split(' ', Qt::SkipEmptyParts));
}

} // namespace XcbSupport
