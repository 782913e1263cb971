#include "rtsp/rtspresponsereader.h"

RtspResponseReader::Result RtspResponseReader::next(RtspMessage *message, QString *error)
{
    int separator = 0;
    const int end = RtspMessage::headEnd(m_buffer, &separator);
    if (end < 0 ? m_buffer.size() > MaxHeadBytes : end > MaxHeadBytes) {
        m_buffer.clear();
        *error = QStringLiteral("Answer head exceeds %1 bytes.").arg(MaxHeadBytes);
        return Failed;
    }
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
    if (length > uint(MaxBodyBytes)) {
        m_buffer.clear();
        *error = QStringLiteral("Answer body of %1 bytes exceeds %2 bytes.")
                     .arg(length)
                     .arg(MaxBodyBytes);
        return Failed;
    }
    const int total = headSize + int(length);
    if (m_buffer.size() < total)
        return Incomplete;
    *message = RtspMessage(m_buffer.left(total));
    m_buffer.remove(0, total);
    return Complete;
}
