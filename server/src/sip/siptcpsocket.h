#pragma once

#include "sip/message/siptransport.h"
#include "sip/sipstreamframer.h"

#include <QTcpSocket>
#include <QTimer>

class QTimerEvent;

// Keep-alive period of every SIP TCP connection, in schedule milliseconds.
extern const int TCP_TIMEOUT;

// One SIP connection over TCP, accepted or opened, named "tcp:<peer address>:<peer port>" so
// that a message for that peer finds it. It cuts its stream into messages, sends a line end as
// keep-alive every TCP_TIMEOUT and deletes itself when the connection ends; a connection that
// carries accounts (one opened for a user, property "user", or one an account registered over)
// reports that end with the address and port it is named after.
class SipTcpSocket : public QTcpSocket
{
    Q_OBJECT
public:
    // An accepted connection that carries no valid SIP message within FirstMessageMs is closed,
    // and so is one that stays quiet for IdleMs while no account is registered over it: silent
    // peers must not hold the listener's slots, and our own keep-alives would hold them for
    // ever. The first limit is the keep-alive period, as the web server's; the second leaves a
    // peer time to finish what it began (a challenged REGISTER, a transaction of up to 32 s).
    static constexpr int FirstMessageMs = 30000;
    static constexpr int IdleMs = 60000;

    // With a descriptor: an accepted, connected socket. Without: one still to be opened.
    explicit SipTcpSocket(QObject *parent, qintptr socketDescriptor = 0);

    void setSocketName(const QString &address, quint16 port);
    static QString socketName(const QString &address, quint16 port);
    // An account is registered over this connection: it stays up for that registration.
    // connection: the engine's id for it, kept when 0.
    void markRegistered(quint64 connection = 0);
    void setConnection(quint64 connection) { m_Connection = connection; }
    quint64 connection() const { return m_Connection; }
    // No account is registered over it any more, but it stays: it is judged again like one
    // that carried a message, and closed when it stays quiet for IdleMs.
    void markUnregistered();
    bool carriesAccount() const;
    // Closed, or let go after its close: nothing more goes over it.
    bool isGone() const;
    // Closes once what was written has gone out (or CloseMs passed), reporting nothing.
    void closeQuietly();
    static constexpr int CloseMs = 5000;

signals:
    void deInitTcpSocket(QString address, ushort port);
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
    void noteMessage(const QByteArray &message);
    void idleTimeout();

    int m_TimerId = -1;
    SipStreamFramer m_Buffer;
    // Runs while the connection is judged: accepted and not yet registered over, or left by its
    // accounts.
    QTimer m_Idle;
    bool m_CarriedMessage = false;
    bool m_Registered = false;
    bool m_Released = false;
    quint64 m_Connection = 0;
    // What the name says, kept for the report of the end, when the peer is no longer known.
    QString m_Address;
    quint16 m_Port = 0;
};
