#include "velk/velkframeclock.h"

#include <chrono>

qint64 VelkFrameClock::nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void VelkFrameClock::restart(qint64 nowUs)
{
    m_StartUs = nowUs;
    m_Sent = 0;
}

qint64 VelkFrameClock::due(qint64 nowUs)
{
    if (m_StartUs < 0 || nowUs < m_StartUs)
        return 0;
    const qint64 owed = (nowUs - m_StartUs) / kFrameUs + 1;
    if (owed - m_Sent > kMaxCatchUp)
        m_Sent = owed - kMaxCatchUp;
    return owed - m_Sent;
}
