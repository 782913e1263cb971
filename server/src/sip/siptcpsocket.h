#pragma once

#include "sip/message/siptransport.h"
#include "sip/sipstreamframer.h"

#include <QTcpSocket>

class QTimerEvent;

// Keep-alive period of every SIP TCP connection, in schedule milliseconds.
extern const int TCP_TIMEOUT;

// One SIP connection over TCP, accepted or opened, named "tcp:<peer address>:<peer port>" so
// that a message for that peer finds it. It cuts its stream into messages, sends a line end as
// keep-alive every TCP_TIMEOUT and deletes itself when the connection ends; a connection opened
// for a user (property "user") reports that end with the user's name.
class SipTcpSocket : public QTcpSocket
{
    Q_OBJECT
public:
    // With a descriptor: an accepted, connected socket. Without: one still to be opened.
    explicit SipTcpSocket(QObject *parent, qintptr socketDescriptor = 0);

    void setSocketName(const QString &address, quint16 port);
    static QString socketName(const QString &address, quint16 port);

signals:
    void deInitTcpSocket(QString userName);
    void checkDatagram(SipTransport::Type transport, QString senderAddr, ushort senderPort,
                       QString receiverAddr, ushort receiverPort, QByteArray datagram);

public slots:
    void onError(QAbstractSocket::SocketError error);
    void onConnected();
    void onDisconnected();
    void onReadyRead();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void startKeepAlive();
    void release();

    int m_TimerId = -1;
    SipStreamFramer m_Buffer;
};
