#include "hotkeys/hotkeycodes.h"

#include <array>

namespace
{

// Index n - 1 holds the virtual key code of Fn.
constexpr std::array<quint32, 12> functionKeyCodes{122, 120, 99,  118, 96,  97,
                                                   98,  100, 101, 109, 103, 111};
constexpr qint64 fallbackNumber = 9;

} // namespace

quint32 functionKeyCode(qint64 number)
{
    if (number < 1 || number > qint64(functionKeyCodes.size()))
        number = fallbackNumber;
    return functionKeyCodes[std::size_t(number - 1)];
}

int functionKeyNumber(quint32 virtualKeyCode)
{
    for (std::size_t i = 0; i < functionKeyCodes.size(); ++i) {
        if (functionKeyCodes[i] == virtualKeyCode)
            return int(i + 1);
    }
    return 0;
}
