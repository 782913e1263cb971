#include "conversation/frameclock.h"

#include "core/timescale.h"

qint64 FrameClock::nowMs()
{
    return TimeScale::now();
}

qint64 FrameClock::due()
{
    const qint64 now = nowMs();
    if (m_Start < 0) {
        m_Start = now;
        m_Sent = 0;
    }
    m_Ticks = (now - m_Start) / FrameMs + 1;
    if (m_Ticks - m_Sent > MaxCatchUp)
        m_Sent = m_Ticks - MaxCatchUp;
    return m_Ticks - m_Sent;
}
