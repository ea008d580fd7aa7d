#pragma once

#include <QtGlobal>

#include <map>

class DrawingView;

// The layer pixels that the canvases of one opening keep for undo, counted together: past the
// budget the oldest are dropped first, whichever display's canvas holds them. Without them an
// undo repaints its area from the strokes instead, which is slower but shows the same.
class UndoBudget
{
public:
    // Enough for two full layers of a 4K display.
    static constexpr qsizetype defaultBytes = qsizetype(80) << 20;

    explicit UndoBudget(qsizetype bytes = defaultBytes) : m_budget(bytes) {}

    // Counts bytes that owner keeps from now on; returns the stamp they are released by. Stamps
    // grow, so within one owner the oldest pixels carry the lowest.
    quint64 keep(DrawingView* owner, qsizetype bytes);
    void release(quint64 stamp);
    // Has the owners drop their oldest pixels until the total is within the budget.
    void trim();

private:
    struct Kept {
        DrawingView* owner;
        qsizetype bytes;
    };
    std::map<quint64, Kept> m_kept;
    quint64 m_nextStamp = 0;
    qsizetype m_used = 0;
    qsizetype m_budget;
};
