#include "app/statusline.h"

#include <cmath>

StatusLine::StatusLine(QObject* parent) : QObject(parent)
{
    m_reset.setSingleShot(true);
    m_reset.setTimerType(Qt::PreciseTimer);
    connect(&m_reset, &QTimer::timeout, this, &StatusLine::restoreIdle);
}

void StatusLine::show(const QString& message, double resetAfterSeconds)
{
    m_reset.stop();
    m_text = message;
    if (onMessage)
        onMessage(message);
    m_reset.start(int(std::lround(resetAfterSeconds * m_msPerSecond)));
}

void StatusLine::restoreIdle()
{
    m_text = idleText;
    if (onIdle)
        onIdle();
}
