#pragma once

#include <QtGlobal>

#include <string_view>

// Packs the UTF-8 bytes of `s` big-endian into 32 bits; only the last four bytes survive.
constexpr quint32 fourCharCode(std::string_view s)
{
    quint32 code = 0;
    for (const char byte : s)
        code = code << 8 | quint8(byte);
    return code;
}

// The virtual key code that hot keys are registered with for function key F`number`. Numbers
// outside 1–12 give F9's code, the default screenshot key.
quint32 functionKeyCode(qint64 number);

// The reverse of functionKeyCode for the twelve real codes: 1–12, or 0 for any other code.
int functionKeyNumber(quint32 virtualKeyCode);

struct EventHotKeyID {
    quint32 signature;
    quint32 id;

    bool operator==(const EventHotKeyID&) const = default;
};

namespace HotKeyIDs
{
inline constexpr quint32 signature = fourCharCode("VLMK");
inline constexpr EventHotKeyID screenshot{signature, 1};
inline constexpr EventHotKeyID pen{signature, 2};
} // namespace HotKeyIDs
