#include "overlay/undobudget.h"

#include "overlay/drawingview.h"

quint64 UndoBudget::keep(DrawingView* owner, qsizetype bytes)
{
    m_used += bytes;
    m_kept.emplace(++m_nextStamp, Kept{owner, bytes});
    return m_nextStamp;
}

void UndoBudget::release(quint64 stamp)
{
    const auto it = m_kept.find(stamp);
    if (it == m_kept.end())
        return;
    m_used -= it->second.bytes;
    m_kept.erase(it);
}

void UndoBudget::trim()
{
    // Each drop releases the stamp it is asked for, so the loop ends.
    while (m_used > m_budget && !m_kept.empty())
        m_kept.begin()->second.owner->dropKeptPixels(m_kept.begin()->first);
}
