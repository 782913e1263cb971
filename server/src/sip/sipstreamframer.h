#pragma once

#include <QByteArray>
#include <QString>

// Cuts SIP messages out of a TCP byte stream (RFC 3261 18.3). Every message on a stream must
// carry exactly one numeric Content-Length: without it the end of the body is unknown and any
// guess would read body bytes as the next message, so such a stream is given up instead.
// Line ends that come before a message are keep-alives and are skipped, never passed on.
// Head and body sizes are bounded, so a peer that never ends its head or announces a huge body
// fails the stream instead of growing the buffer without end.
class SipStreamFramer
{
public:
    enum Result { Incomplete, Complete, Failed };

    static constexpr int MaxHeadBytes = 32 * 1024;
    static constexpr int MaxBodyBytes = 64 * 1024;

    void append(const QByteArray &bytes) { m_Buffer.append(bytes); }
    void clear() { m_Buffer.clear(); }
    int size() const { return m_Buffer.size(); }

    // Takes the next whole message (head and body) off the buffer. Failed empties the buffer
    // and sets the reason: the stream cannot be followed any further.
    Result next(QByteArray *message, QString *error);

    // The value of the one Content-Length header of a message head (compact form "l"
    // included); -1 when there is none, several, or one that is not a decimal number.
    static qint64 contentLength(const QByteArray &head);

private:
    QByteArray m_Buffer;
};
