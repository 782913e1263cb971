#pragma once

#include "sip/message/siptransport.h"

#include <QTcpServer>

// The local server's SIP listener over TCP. Each accepted connection becomes a SipTcpSocket
// child whose messages it relays. The number of connections is bounded: a peer opening
// connections without end is refused beyond the limit instead of exhausting descriptors.
class SipTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    static constexpr int MaxConnections = 128;

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
    int m_MaxConnections = MaxConnections;
    bool m_RefusalLogged = false;
};
