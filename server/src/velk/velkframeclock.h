#pragma once

#include <QtGlobal>

// The 20 ms cadence of a device's audio on the monotonic clock, in microseconds. Frames fall
// due at absolute deadlines from the clock's start, so late wake-ups do not drift the rate;
// after a stall at most a few frames are caught up and the rest are skipped, so the device
// never gets a burst of stale audio.
class VelkFrameClock
{
public:
    static constexpr qint64 kFrameUs = 20000;
    static constexpr qint64 kMaxCatchUp = 3;

    static qint64 nowUs();

    // Starts again: one frame is due at once.
    void restart(qint64 nowUs);
    bool isRunning() const { return m_StartUs >= 0; }
    void stop() { m_StartUs = -1; }
    // Frames due at the time, at most kMaxCatchUp; skipped ones count as sent.
    qint64 due(qint64 nowUs);
    void produced() { ++m_Sent; }
    // When the next frame falls due.
    qint64 nextDeadlineUs() const { return m_StartUs + m_Sent * kFrameUs; }

private:
    qint64 m_StartUs = -1;
    qint64 m_Sent = 0;
};
