#include "sip/sipobject.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/message/sipmessage.h"

#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace {

const quint16 kDefaultStunPort = 3478;

void logSip(const QString &text)
{
    logLine(LogParams::Sip, text);
}

// The first IPv4 address of a host name or address text; null when there is none.
QHostAddress lookUpIPv4(const QString &host)
{
    const QList<QHostAddress> found = QHostInfo::fromName(host).addresses();
    for (const QHostAddress &address : found) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address;
    }
    return QHostAddress();
}

} // namespace

SipObject::SipObject(bool logSip, int transports, const QString &listenAddress, quint16 listenPort,
                     QObject *parent)
    : AttendedThreadObject(parent)
    , m_Transports(transports)
    , m_ListenAddress(listenAddress)
    , m_ListenPort(listenPort)
    , m_Retry(this)
    , m_ConnectLimit(this)
{
    init(logSip, true);
}

SipObject::SipObject(bool logSip, SipTransport::Type transport, const QString &serverAddress,
                     quint16 serverPort, bool proxyUse, const QString &proxyAddress,
                     quint16 proxyPort, quint16 bindPort, bool bindRandom,
                     const QString &stunServer, QObject *parent)
    : AttendedThreadObject(parent)
    , m_ServerTransport(transport)
    , m_ServerAddress(serverAddress)
    , m_ServerPort(serverPort)
    , m_ProxyUse(proxyUse)
    , m_ProxyAddress(proxyAddress)
    , m_ProxyPort(proxyPort)
    , m_BindPort(bindPort)
    , m_BindRandom(bindRandom)
    , m_StunServer(stunServer)
    , m_Retry(this)
    , m_ConnectLimit(this)
{
    init(logSip, false);
    if (m_StunServer.isEmpty())
        return;
    const QStringList fields = m_StunServer.split(QLatin1Char(':'));
    m_StunHost = fields.value(0);
    if (fields.size() > 1) {
        const quint16 port = quint16(fields.at(1).toUInt(nullptr, 10));
        m_StunPort = port == 0 ? kDefaultStunPort : port;
    }
}

void SipObject::init(bool logSip, bool standalone)
{
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    qRegisterMetaType<SipTransport::Type>("SipTransport::Type");
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<SipMessage>("SipMessage");
    qRegisterMetaType<SipConnectionState>("SipConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketType>("QAbstractSocket::SocketType");
    setObjectName(QStringLiteral("SipObject"));
    m_LogSip = logSip;
    m_IsStandalone = standalone;
    m_Retry.setSingleShot(true);
    m_ConnectLimit.setSingleShot(true);
    connect(&m_ConnectLimit, &QTimer::timeout, this, &SipObject::serverConnectFailed);
}

SipObject::~SipObject()
{
    logSip(QStringLiteral("Stopped"));
}

quint16 SipObject::udpPort() const
{
    return m_UdpSocket && m_UdpSocket->state() >= QAbstractSocket::BoundState
        ? m_UdpSocket->localPort()
        : 0;
}

void SipObject::run()
{
    if (m_IsStandalone)
        runStandalone();
    else
        runServer();
}

void SipObject::retry(Step step)
{
    m_Retry.disconnect();
    connect(&m_Retry, &QTimer::timeout, this, step);
    m_Retry.start(TimeScale::toRealInt(kRetryMs));
}

void SipObject::report(SipConnectionState state, QAbstractSocket::SocketType type,
                       QAbstractSocket::SocketError error, const QString &errorString)
{
    emit setConnectionState(m_ReportAddress, state, type, error, errorString);
}

void SipObject::started()
{
    m_Running = true;
    logSip(QStringLiteral("Started"));
}

// A stop ends a start-up that waits for its next attempt or for a connection at once.
void SipObject::queryTerminate()
{
    AttendedThreadObject::queryTerminate();
    if (m_Running)
        return;
    const bool waiting = m_Retry.isActive() || m_ConnectLimit.isActive();
    m_Retry.stop();
    m_ConnectLimit.stop();
    if (m_TcpSocket && m_TcpSocket->state() != QAbstractSocket::ConnectedState)
        m_TcpSocket->abort();
    if (waiting) {
        m_ReportAddress = m_IsStandalone ? m_ListenAddress : m_ServerAddress;
        report(SipNotConnected, QAbstractSocket::UnknownSocketType);
    }
}

void SipObject::runStandalone()
{
    m_ReportAddress = m_ListenAddress;
    logSip(QStringLiteral("Starting Local SIP server ..."));
    report(SipNotConnected, QAbstractSocket::UnknownSocketType);
    m_Address = QHostAddress(QHostAddress::AnyIPv4);
    report(SipLookingUpHost,
           (m_Transports & 1) ? QAbstractSocket::UdpSocket : QAbstractSocket::TcpSocket);
    if (m_ListenAddress == QLatin1String("0.0.0.0"))
        startUdp();
    else
        lookUpListenAddress();
}

void SipObject::lookUpListenAddress()
{
    if (terminate)
        return;
    const QHostAddress found = lookUpIPv4(m_ListenAddress);
    if (!found.isNull()) {
        m_Address = found;
        startUdp();
        return;
    }
    if (!m_LookupFailed) {
        m_LookupFailed = true;
        report(SipHostNotFound,
               (m_Transports & 1) ? QAbstractSocket::UdpSocket : QAbstractSocket::TcpSocket);
        logSip(QStringLiteral("Unable lookup host %1").arg(m_ListenAddress));
    }
    retry(&SipObject::lookUpListenAddress);
}

void SipObject::startUdp()
{
    if (!(m_Transports & 1)) {
        startTcp();
        return;
    }
    report(SipConnecting, QAbstractSocket::UdpSocket);
    m_UdpSocket = new QUdpSocket(this);
    logSip(
        QStringLiteral("Wait for listen on UDP %1:%2").arg(m_Address.toString()).arg(m_ListenPort));
    m_BindFailed = false;
    bindUdp();
}

void SipObject::bindUdp()
{
    if (terminate)
        return;
    if (m_UdpSocket->bind(m_Address, m_ListenPort, QAbstractSocket::DontShareAddress)) {
        logSip(QStringLiteral("Bind on UDP %1:%2")
                   .arg(m_UdpSocket->localAddress().toString())
                   .arg(m_UdpSocket->localPort()));
        connect(m_UdpSocket, &QUdpSocket::readyRead, this, &SipObject::readyRead,
                Qt::DirectConnection);
        report(SipConnected, QAbstractSocket::UdpSocket);
        startTcp();
        return;
    }
    report(SipConnecting, QAbstractSocket::UdpSocket, m_UdpSocket->error(),
           m_UdpSocket->errorString());
    if (!m_BindFailed) {
        m_BindFailed = true;
        logSip(QStringLiteral("Unable to bind UDP socket %1:%2  (SocketError %3: %4)")
                   .arg(m_Address.toString())
                   .arg(m_ListenPort)
                   .arg(int(m_UdpSocket->error()))
                   .arg(m_UdpSocket->errorString()));
    }
    retry(&SipObject::bindUdp);
}

// Only the listening of the start-up: the framing of SIP over TCP streams is built apart.
void SipObject::startTcp()
{
    if (!(m_Transports & 2)) {
        started();
        return;
    }
    report(SipConnecting, QAbstractSocket::TcpSocket);
    m_TcpServer = new QTcpServer(this);
    logSip(
        QStringLiteral("Wait for listen on TCP %1:%2").arg(m_Address.toString()).arg(m_ListenPort));
    m_BindFailed = false;
    listenTcp();
}

void SipObject::listenTcp()
{
    if (terminate)
        return;
    if (m_TcpServer->listen(m_Address, m_ListenPort)) {
        logSip(QStringLiteral("Listen on TCP %1:%2")
                   .arg(m_TcpServer->serverAddress().toString())
                   .arg(m_TcpServer->serverPort()));
        report(SipConnected, QAbstractSocket::TcpSocket);
        started();
        return;
    }
    report(SipConnecting, QAbstractSocket::TcpSocket, m_TcpServer->serverError(),
           m_TcpServer->errorString());
    if (!m_BindFailed) {
        m_BindFailed = true;
        logSip(QStringLiteral("Unable listen on TCP socket %1:%2 (SocketError %3: %4)")
                   .arg(m_Address.toString())
                   .arg(m_ListenPort)
                   .arg(int(m_TcpServer->serverError()))
                   .arg(m_TcpServer->errorString()));
    }
    retry(&SipObject::listenTcp);
}

void SipObject::runServer()
{
    m_ReportAddress = m_ServerAddress;
    logSip(QStringLiteral("Starting Tarnhall gateway ..."));
    report(SipNotConnected, QAbstractSocket::UnknownSocketType);
    if (terminate) {
        report(SipNotConnected, QAbstractSocket::UnknownSocketType);
        return;
    }
    report(SipLookingUpHost, QAbstractSocket::UnknownSocketType);
    lookUpServer();
}

void SipObject::lookUpServer()
{
    if (terminate)
        return;
    const QString host = m_ProxyUse ? m_ProxyAddress : m_ServerAddress;
    m_Address = lookUpIPv4(host);
    if (!m_Address.isNull()) {
        m_ReportAddress = m_Address.toString();
        openServerSocket();
        return;
    }
    m_ReportAddress = host;
    report(SipHostNotFound, QAbstractSocket::UnknownSocketType);
    if (!m_LookupFailed) {
        m_LookupFailed = true;
        logSip(QStringLiteral("Unable lookup host %1").arg(host));
    }
    retry(&SipObject::lookUpServer);
}

QAbstractSocket *SipObject::serverSocket() const
{
    if (m_UdpSocket)
        return m_UdpSocket;
    return m_TcpSocket;
}

QString SipObject::serverTransportName() const
{
    return m_ServerTransport == SipTransport::TCP ? QStringLiteral("TCP") : QStringLiteral("UDP");
}

void SipObject::openServerSocket()
{
    QAbstractSocket *socket = nullptr;
    if (m_ServerTransport == SipTransport::UDP)
        socket = m_UdpSocket = new QUdpSocket(this);
    else if (m_ServerTransport == SipTransport::TCP)
        socket = m_TcpSocket = new QTcpSocket(this);
    if (!socket) {
        started();
        return;
    }
    report(SipConnecting, socket->socketType());
    connect(socket, &QAbstractSocket::connected, this, &SipObject::serverConnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (m_ConnectLimit.isActive())
            serverConnectFailed();
    });
    if (m_BindRandom)
        connectServer();
    else
        bindServerSocket();
}

void SipObject::bindServerSocket()
{
    if (terminate)
        return;
    QAbstractSocket *socket = serverSocket();
    if (socket->bind(QHostAddress(QHostAddress::AnyIPv4), m_BindPort)) {
        logSip(QStringLiteral("Binding to %1:%2 on %3")
                   .arg(socket->localAddress().toString())
                   .arg(socket->localPort())
                   .arg(serverTransportName()));
        connectServer();
        return;
    }
    if (!m_BindFailed) {
        m_BindFailed = true;
        logSip(QStringLiteral("Unable bind to port %1 on %2. (Socket error %3: %4)")
                   .arg(m_BindPort)
                   .arg(serverTransportName())
                   .arg(int(socket->error()))
                   .arg(socket->errorString()));
    }
    retry(&SipObject::bindServerSocket);
}

void SipObject::connectServer()
{
    if (terminate)
        return;
    const QString host = m_ProxyUse ? m_ProxyAddress : m_ServerAddress;
    if (!m_ConnectFailed)
        logSip(QStringLiteral("Wait for connected to host %1(%2):%3 on %4")
                   .arg(host, m_Address.toString())
                   .arg(m_ServerPort)
                   .arg(serverTransportName()));
    m_ConnectLimit.start(TimeScale::toRealInt(kConnectLimitMs));
    serverSocket()->connectToHost(m_Address, m_ServerPort, QIODevice::ReadWrite);
}

void SipObject::serverConnected()
{
    m_ConnectLimit.stop();
    QAbstractSocket *socket = serverSocket();
    const QString host = m_ProxyUse ? m_ProxyAddress : m_ServerAddress;
    if (socket == m_UdpSocket) {
        logSip(QStringLiteral("Connected to host %1(%2):%3 on UDP %4:%5")
                   .arg(host, socket->peerAddress().toString())
                   .arg(socket->peerPort())
                   .arg(socket->localAddress().toString())
                   .arg(socket->localPort()));
        connect(m_UdpSocket, &QUdpSocket::readyRead, this, &SipObject::readyRead,
                Qt::DirectConnection);
    } else {
        logSip(QStringLiteral("Connected to host %1:%2 on TCP %3:%4")
                   .arg(socket->peerAddress().toString())
                   .arg(socket->peerPort())
                   .arg(socket->localAddress().toString())
                   .arg(socket->localPort()));
    }
    emit initServerConnection(m_ServerTransport, m_ServerAddress, socket->peerPort(),
                              socket->localAddress().toString(), socket->localPort());
    report(SipConnected, socket->socketType());
    started();
    if (socket == m_UdpSocket)
        readyRead();
}

void SipObject::serverConnectFailed()
{
    m_ConnectLimit.stop();
    QAbstractSocket *socket = serverSocket();
    const QAbstractSocket::SocketError error = socket->error();
    const QString errorText = socket->errorString();
    // A UDP socket stays bound to its port across attempts; a TCP one is made anew.
    if (socket->state() != QAbstractSocket::BoundState)
        socket->abort();
    report(SipConnecting, socket->socketType(), error, errorText);
    if (!m_ConnectFailed) {
        m_ConnectFailed = true;
        const QString host = m_ProxyUse ? m_ProxyAddress : m_ServerAddress;
        logSip(QStringLiteral("Unable connect to host %1(%2):%3 on %4. (Socket error %5: %6)")
                   .arg(host, m_Address.toString())
                   .arg(m_ServerPort)
                   .arg(serverTransportName())
                   .arg(int(error))
                   .arg(errorText));
        logSip(QStringLiteral("Wait for connected to host %1(%2):%3 on %4")
                   .arg(host, m_Address.toString())
                   .arg(m_ServerPort)
                   .arg(serverTransportName()));
    }
    retry((!m_BindRandom && socket->state() == QAbstractSocket::UnconnectedState)
              ? &SipObject::bindServerSocket
              : &SipObject::connectServer);
}

// Connections of registered TCP users belong to SIP over TCP, built apart.
void SipObject::initTcpSocket(QString addr, ushort port, bool init, QString userName)
{
    logLine(LogParams::SipDebug,
            QStringLiteral("TCP connection %1:%2 of user '%3' %4")
                .arg(addr)
                .arg(port)
                .arg(userName, init ? QStringLiteral("asked for") : QStringLiteral("released")));
}
