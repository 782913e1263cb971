#pragma once

#include "core/attendedthreadobject.h"
#include "sip/message/siptransport.h"
#include "sip/sipconnectionstate.h"
#include "sip/sipstreamframer.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QTimer>

class QTcpSocket;
class QUdpSocket;
class SipTcpServer;
class SipTcpSocket;
class StunClient;

// The transport worker of the SIP module; runs in the module's thread. As the local server it
// listens on the configured address; as a gateway it binds a local port and connects to the
// outside server (or proxy). Every attempt that fails is retried a second later on a timer, so
// the thread sleeps between attempts and a stop ends them at once. Datagrams pass through it
// unparsed, traced when "log-sip" asks for it.
class SipObject : public AttendedThreadObject
{
    Q_OBJECT
public:
    static constexpr qint64 kRetryMs = 1000;
    static constexpr qint64 kConnectLimitMs = 30000;
    // A lost gateway TCP connection is opened again after a pause that doubles up to this.
    static constexpr qint64 kReconnectMaxMs = 32000;

    // Local server. transports is a bit set: 1 UDP, 2 TCP (-1 both).
    SipObject(bool logSip, int transports, const QString &listenAddress, quint16 listenPort,
              QObject *parent = nullptr);
    // Gateway. stunServer is "host:port", empty without STUN.
    SipObject(bool logSip, SipTransport::Type transport, const QString &serverAddress,
              quint16 serverPort, bool proxyUse, const QString &proxyAddress, quint16 proxyPort,
              quint16 bindPort, bool bindRandom, const QString &stunServer,
              QObject *parent = nullptr);
    ~SipObject() override;

    // The bound UDP port; 0 before the socket is bound. Read it in the worker's thread.
    quint16 udpPort() const;
    QString stunHost() const;
    quint16 stunPort() const;

signals:
    void initServerConnection(SipTransport::Type Transport, QString serverAddr, ushort serverPort,
                              QString clientAddr, ushort clientPort);
    void stunServer(QString serverAddr);
    // The peer closed a connection that carried accounts, or one was gone as an account
    // registered over it.
    void deInitTcpSocket(QString address, ushort port);
    void checkDatagram(SipTransport::Type transport, QString senderAddr, ushort senderPort,
                       QString receiverAddr, ushort receiverPort, QByteArray datagram);
    void setConnectionState(QString addr, SipConnectionState state = SipNotConnected,
                            QAbstractSocket::SocketType type = QAbstractSocket::UnknownSocketType,
                            QAbstractSocket::SocketError error
                            = QAbstractSocket::UnknownSocketError,
                            QString errorString = QString());

public slots:
    void readyRead();
    void readyReadTcp();
    void run() override;
    // connection: the engine's id for it; a close or release reaches only the connection that
    // was given that id (any of that peer for 0), never one that has its peer's name since.
    void initTcpSocket(QString addr, ushort port, bool init, QString userName,
                       quint64 connection = 0);
    // The last account left a connection that stays up (the REGISTER that left it came on it).
    void releaseTcpSocket(QString addr, ushort port, quint64 connection = 0);
    void sendDatagram(SipTransport::Type transport, QString receiverAddr, ushort receiverPort,
                      QByteArray datagram);
    void queryTerminate() override;

private:
    using Step = void (SipObject::*)();

    void init(bool logSip, bool standalone);
    void retry(Step step);
    void report(SipConnectionState state, QAbstractSocket::SocketType type,
                QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError,
                const QString &errorString = QString());
    void started();

    // Local server.
    void runStandalone();
    void lookUpListenAddress();
    void startUdp();
    void bindUdp();
    void startTcp();
    void listenTcp();

    // Gateway.
    void runServer();
    void lookUpServer();
    void openServerSocket();
    void bindServerSocket();
    void connectFromFreePort();
    void connectServer();
    void serverConnected();
    void serverConnectFailed();
    void serverConnectionLost();
    void watchServerSocket(QAbstractSocket *socket);
    void renewTcpSocket();
    void startTcpPeer(SipTcpSocket *peer, const QString &addr, quint16 port);
    SipTcpSocket *namedTcpSocket(const QString &addr, quint16 port, quint64 connection) const;
    QAbstractSocket *serverSocket() const;
    quint16 serverPort() const;
    QString serverTransportName() const;

    // Datagram I/O.
    bool sendUdp(const QString &receiverAddr, quint16 receiverPort, const QByteArray &datagram);
    QAbstractSocket *tcpPeer(const QString &receiverAddr, quint16 receiverPort);
    void trace(const QString &text, const QString &transport, const QAbstractSocket *local,
               const QString &peerAddr, quint16 peerPort, const QByteArray &datagram);
    // failure: why the datagram did not go out; empty when it did.
    void traceSent(const QString &transport, const QAbstractSocket *local,
                   const QAbstractSocket *carrier, const QString &receiverAddr,
                   quint16 receiverPort, const QByteArray &datagram, const QString &failure);

    bool m_LogSip = false;
    bool m_IsStandalone = true;
    int m_Transports = 0;
    QString m_ListenAddress;
    quint16 m_ListenPort = 0;
    SipTransport::Type m_ServerTransport = SipTransport::Unset;
    QString m_ServerAddress;
    quint16 m_ServerPort = 0;
    bool m_ProxyUse = false;
    QString m_ProxyAddress;
    quint16 m_ProxyPort = 5060;
    QUdpSocket *m_UdpSocket = nullptr;
    QTcpSocket *m_TcpSocket = nullptr;
    SipStreamFramer m_TcpBuffer;
    SipTcpServer *m_TcpServer = nullptr;
    quint16 m_BindPort = 5061;
    bool m_BindRandom = false;
    QString m_StunServer;
    StunClient *m_Stun = nullptr;

    // Where the start-up stands: the address it uses, the retry pending, first failures seen.
    QHostAddress m_Address;
    QString m_ReportAddress;
    QTimer m_Retry;
    QTimer m_ConnectLimit;
    bool m_LookupFailed = false;
    bool m_BindFailed = false;
    bool m_ConnectFailed = false;
    bool m_Running = false;
    // The gateway's TCP connection: its keep-alive, and the pause before it is opened again.
    QTimer m_TcpKeepAlive;
    qint64 m_ReconnectMs = kRetryMs;
    // The local ends of the last server connections, newest last: the gateway's requests name
    // one as their receiver, also one built before the connection that stands now. Each means
    // the server, never this host's own port, which another program may hold by now. Kept
    // requests are built afresh for the connection that stands, so a few ends are enough.
    static constexpr int kServerLocalEnds = 8;
    QList<QPair<QHostAddress, quint16>> m_ServerLocalEnds;
};
