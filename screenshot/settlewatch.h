#pragma once

#include <QtGlobal>

#include <optional>

// Tells when the screen under windows we just hid has stopped changing: a compositor may fade
// them out over several frames, or the windows below may take a while to repaint. Settled once
// successive reads of that area, a frame apart, have agreed for long enough; or, whatever the
// screen does, once giveUpMs have passed.
class SettleWatch
{
public:
    static constexpr int intervalMs = 16;
    static constexpr int stableMs = 48;
    static constexpr int giveUpMs = 500;

    // One read of the area, as a checksum, taken elapsedMs after the windows were hidden.
    bool settled(quint64 checksum, qint64 elapsedMs);

private:
    std::optional<quint64> m_checksum;
    qint64 m_since = 0; // when the area last changed
};
