#include "conversation/frameclock.h"

#include <chrono>

qint64 FrameClock::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 FrameClock::due()
{
    const qint64 now = nowMs();
    if (m_Start < 0) {
        m_Start = now;
        m_Sent = 0;
    }
    const qint64 ticks = (now - m_Start) / FrameMs + 1;
    if (ticks - m_Sent > MaxCatchUp)
        m_Sent = ticks - MaxCatchUp;
    return ticks - m_Sent;
}
