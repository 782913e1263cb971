#pragma once

#include <QtGlobal>

// The 20 ms cadence of a conversation, counted on the monotonic schedule clock (TimeScale):
// wall-clock steps neither flood the peers nor stop the audio, and after a stall at most a few
// frames are caught up, the rest are skipped.
class FrameClock
{
public:
    static const qint64 FrameMs = 20;
    static const qint64 MaxCatchUp = 4;

    // Milliseconds of the schedule on the process's monotonic clock.
    static qint64 nowMs();

    // Frames due now; the first call starts the clock and one frame is due at once.
    qint64 due();
    void produced(qint64 frames = 1) { m_Sent += frames; }

    // When the loop must look again: the due time of the next frame, or, while frames due at
    // the last due() were left unproduced, the tick after that call.
    qint64 nextDue() const { return m_Start + qMax(m_Sent, m_Ticks) * FrameMs; }

private:
    qint64 m_Start = -1;
    qint64 m_Sent = 0;
    qint64 m_Ticks = 0;
};
