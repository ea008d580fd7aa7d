#include "screenshot/settlewatch.h"

bool SettleWatch::settled(quint64 checksum, qint64 elapsedMs)
{
    if (checksum != m_checksum) {
        m_checksum = checksum;
        m_since = elapsedMs;
        m_repeats = 0;
    } else {
        ++m_repeats;
    }
    // Counting reads as well as time: after a stall of this process the clock has moved on
    // while the screen had no chance to.
    return (m_repeats >= stableReads && elapsedMs - m_since >= stableMs) || elapsedMs >= giveUpMs;
}
