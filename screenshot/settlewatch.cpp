#include "screenshot/settlewatch.h"

bool SettleWatch::settled(quint64 checksum, qint64 elapsedMs)
{
    if (checksum != m_checksum) {
        m_checksum = checksum;
        m_since = elapsedMs;
    }
    return elapsedMs - m_since >= stableMs || elapsedMs >= giveUpMs;
}
