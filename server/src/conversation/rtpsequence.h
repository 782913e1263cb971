#pragma once

#include <QtGlobal>

// Turns a sender's 16-bit RTP sequence numbers into ever-growing 64-bit frame ids, so the
// jitter buffer keeps accepting audio across the wrap from 65535 to 0. A new SSRC or a jump
// too large to be loss or reordering re-synchronises: the next id simply follows the last one.
class RtpSequence
{
public:
    static const int MaxForward = 3000; // one minute of 20 ms frames lost in a row
    static const int MaxBackward = 100; // reordering or duplicates within two seconds

    quint64 extend(quint32 ssrc, quint16 sequence);
    void reset() { m_Started = false; }

private:
    bool m_Started = false;
    quint32 m_Ssrc = 0;
    quint16 m_Last = 0;
    quint64 m_Extended = 0;
};
