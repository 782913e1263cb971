#pragma once

#include <QByteArray>
#include <QHostAddress>

class QUdpSocket;

// Takes the datagrams waiting in a UDP socket straight from its descriptor. QUdpSocket, seeing
// a readiness that its own API leaves unread, switches its read notifier off (unread, readyRead
// comes no more, as it documents): packets then stop waking the socket's thread one by one and
// wait for the pass that drains them. Drained on readyRead as well, the socket is never left
// ready and unread, so its thread cannot spin on it whichever way the notifier goes.
class SocketDrain
{
public:
    struct Datagram
    {
        QByteArray data;
        QHostAddress sender;
        quint16 port = 0;
    };

    // The next waiting datagram; false once none is left (or the socket failed).
    bool next(QUdpSocket *socket, Datagram *out);

private:
    QByteArray m_Buffer; // as large as a datagram can be, filled only as far as one reaches
};
