#pragma once

#include "sip/message/siptransport.h"

#include <QTcpServer>

class QTcpSocket;

// The local server's SIP listener over TCP. Each accepted connection becomes a SipTcpSocket
// child whose messages it relays. The number of connections is bounded: a peer opening
// connections without end is refused beyond the limit instead of exhausting descriptors, and
// one address (a host, or a NAT in front of several phones) gets at most a quarter of them.
// At the limit the oldest connection that carries no account makes way for the new one, so
// peers that merely talk cannot keep phones out; only connections of accounts fill it for good.
class SipTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    static constexpr int MaxConnections = 128;
    static constexpr int MaxConnectionsPerAddress = MaxConnections / 4;

    explicit SipTcpServer(QObject *parent = nullptr);

    void setMaxConnections(int count) { m_MaxConnections = count; }
    // Accepted and opened connections alike.
    int connectionCount() const;

signals:
    void checkDatagram(SipTransport::Type transport, QString senderAddr, ushort senderPort,
                       QString reveiverAddr, ushort reveiverPort, QByteArray datagram);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void logRefusal(const QTcpSocket &socket, const QString &reason);
    void endRefusals();

    int m_MaxConnections = MaxConnections;
    // Connections refused since the last one accepted.
    int m_Refused = 0;
};
