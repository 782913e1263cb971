#pragma once

#include "rtsp/rtspmessage.h"

#include <QByteArray>

// Cuts RTSP answers out of the TCP byte stream of a camera connection. Bytes that follow an
// answer stay for the next one. Head and body sizes are bounded, so a peer that never ends its
// head or announces a huge body fails the read instead of growing the buffer without end.
class RtspResponseReader
{
public:
    enum Result { Incomplete, Complete, Failed };

    static constexpr int MaxHeadBytes = 64 * 1024;
    static constexpr int MaxBodyBytes = 1024 * 1024;

    void append(const QByteArray &bytes) { m_buffer.append(bytes); }
    void clear()
    {
        m_buffer.clear();
        m_total = 0;
    }
    int size() const { return m_buffer.size(); }

    // Takes the next whole message off the buffer. Failed empties the buffer and sets the
    // reason: the stream cannot be followed any further.
    Result next(RtspMessage *message, QString *error);

private:
    Result fail(QString *error, const QString &reason);

    QByteArray m_buffer;
    // The size of the answer whose head was read and whose body is still coming; 0 while the
    // head is incomplete. Kept so that a body arriving in small pieces is not read anew for each.
    int m_total = 0;
};
