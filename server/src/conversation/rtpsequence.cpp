#include "conversation/rtpsequence.h"

quint64 RtpSequence::extend(quint32 ssrc, quint16 sequence)
{
    if (!m_Started) {
        // Room below the first id, so early reordered packets do not wrap to huge ids.
        m_Started = true;
        m_Ssrc = ssrc;
        m_Last = sequence;
        m_Extended = 65536 + quint64(sequence);
        return m_Extended;
    }
    const int delta = qint16(quint16(sequence - m_Last));
    if (ssrc == m_Ssrc && delta > 0 && delta <= MaxForward) {
        m_Last = sequence;
        m_Extended += quint64(delta);
        return m_Extended;
    }
    if (ssrc == m_Ssrc && delta <= 0 && delta >= -MaxBackward)
        return m_Extended - quint64(-delta); // late or duplicate: lower than what is buffered
    m_Ssrc = ssrc;
    m_Last = sequence;
    return ++m_Extended;
}
