#include "rtsp/rtspresponsereader.h"

RtspResponseReader::Result RtspResponseReader::next(RtspMessage *message, QString *error)
{
    if (m_total == 0) {
        int separator = 0;
        const int end = RtspMessage::headEnd(m_buffer, &separator);
        if (end < 0 ? m_buffer.size() > MaxHeadBytes : end > MaxHeadBytes)
            return fail(error, QStringLiteral("Answer head exceeds %1 bytes.").arg(MaxHeadBytes));
        if (end < 0)
            return Incomplete;

        const int headSize = end + separator;
        const RtspMessage head(m_buffer.left(headSize));
        const uint length = head.contentLength();
        if (length == 0) {
            m_buffer.remove(0, headSize);
            *message = head;
            return Complete;
        }
        if (length > uint(MaxBodyBytes))
            return fail(error,
                        QStringLiteral("Answer body of %1 bytes exceeds %2 bytes.")
                            .arg(length)
                            .arg(MaxBodyBytes));
        m_total = headSize + int(length);
    }
    if (m_buffer.size() < m_total)
        return Incomplete;
    *message = RtspMessage(m_buffer.left(m_total));
    m_buffer.remove(0, m_total);
    m_total = 0;
    return Complete;
}

RtspResponseReader::Result RtspResponseReader::fail(QString *error, const QString &reason)
{
    clear();
    *error = reason;
    return Failed;
}
