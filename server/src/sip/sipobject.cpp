#include "sip/sipobject.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/message/sipmessage.h"
#include "sip/siptcpserver.h"
#include "sip/siptcpsocket.h"
#include "sip/stunclient.h"

#include <QHostInfo>
#include <QTcpSocket>
#include <QUdpSocket>

#include <algorithm>

namespace {

void logSip(const QString &text)
{
    logLine(LogParams::Sip, text);
}

// The first IPv4 address of a host name or address text; null when there is none. An address
// is taken as it stands: a look-up would only ask the name server for its name.
QHostAddress lookUpIPv4(const QString &host)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal.protocol() == QAbstractSocket::IPv4Protocol ? literal : QHostAddress();
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
    m_Stun = new StunClient(m_StunServer, this);
    connect(m_Stun, &StunClient::stunServer, this, &SipObject::stunServer);
}

QString SipObject::stunHost() const
{
    return m_Stun ? m_Stun->host() : QString();
}

quint16 SipObject::stunPort() const
{
    return m_Stun ? m_Stun->port() : StunClient::DefaultPort;
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
    m_TcpKeepAlive.setParent(this);
    m_TcpKeepAlive.setInterval(TimeScale::toRealInt(TCP_TIMEOUT));
    connect(&m_TcpKeepAlive, &QTimer::timeout, this, [this] {
        if (m_TcpSocket && m_TcpSocket->state() == QAbstractSocket::ConnectedState)
            m_TcpSocket->write(QByteArrayLiteral("\r\n"));
    });
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
    m_TcpServer = new SipTcpServer(this);
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
        connect(m_TcpServer, &SipTcpServer::checkDatagram, this, &SipObject::checkDatagram,
                Qt::DirectConnection);
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
    m_Stun->initStunServer();
    report(SipNotConnected, QAbstractSocket::UnknownSocketType);
    if (terminate) {
        report(SipNotConnected, QAbstractSocket::UnknownSocketType);
        return;
    }
    // An address is used as it stands: only a name is being looked up.
    if (QHostAddress(m_ProxyUse ? m_ProxyAddress : m_ServerAddress).isNull())
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
    watchServerSocket(socket);
    if (m_BindRandom)
        connectServer();
    else
        bindServerSocket();
}

void SipObject::watchServerSocket(QAbstractSocket *socket)
{
    connect(socket, &QAbstractSocket::connected, this, &SipObject::serverConnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (m_ConnectLimit.isActive())
            serverConnectFailed();
    });
}

// A TCP socket whose connection failed or ended is not used again: aborted within its own error
// signal it is left half reset, and every later bind and write on it fails. The next attempt
// takes a new one; connections the gateway opened to other peers move over to it.
void SipObject::renewTcpSocket()
{
    QTcpSocket *old = m_TcpSocket;
    m_TcpSocket = new QTcpSocket(this);
    watchServerSocket(m_TcpSocket);
    const QList<SipTcpSocket *> peers
        = old->findChildren<SipTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (SipTcpSocket *peer : peers)
        peer->setParent(m_TcpSocket);
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}

void SipObject::bindServerSocket()
{
    if (terminate)
        return;
    QAbstractSocket *socket = serverSocket();
    // Over TCP the port may still wait on the connection a stop or a restart closed (TIME-WAIT,
    // about a minute): reusable, it connects to the server again at once. A UDP port is never
    // shared: datagrams would go to either socket.
    const QAbstractSocket::BindMode mode = socket == m_TcpSocket
        ? QAbstractSocket::ReuseAddressHint
        : QAbstractSocket::DefaultForPlatform;
    if (socket->bind(QHostAddress(QHostAddress::AnyIPv4), m_BindPort, mode)) {
        logSip(QStringLiteral("Binding to %1:%2 on %3")
                   .arg(socket->localAddress().toString())
                   .arg(socket->localPort())
                   .arg(serverTransportName()));
        m_BindFailed = false;
        connectServer();
        return;
    }
    report(SipConnecting, socket->socketType(), socket->error(), socket->errorString());
    if (!m_BindFailed) {
        m_BindFailed = true;
        logSip(QStringLiteral("Unable bind to port %1 on %2. (Socket error %3: %4)")
                   .arg(m_BindPort)
                   .arg(serverTransportName())
                   .arg(int(socket->error()))
                   .arg(socket->errorString()));
    }
    // Another program holds the port: over TCP, where the server answers on the connection,
    // any port serves, and the next connection tries the configured one again.
    if (socket == m_TcpSocket) {
        connectFromFreePort();
        return;
    }
    retry(&SipObject::bindServerSocket);
}

void SipObject::connectFromFreePort()
{
    logSip(QStringLiteral("Connecting from a free port instead of %1 on TCP").arg(m_BindPort));
    connectServer();
}

void SipObject::connectServer()
{
    if (terminate)
        return;
    const QString host = m_ProxyUse ? m_ProxyAddress : m_ServerAddress;
    if (!m_ConnectFailed)
        logSip(QStringLiteral("Wait for connected to host %1(%2):%3 on %4")
                   .arg(host, m_Address.toString())
                   .arg(serverPort())
                   .arg(serverTransportName()));
    m_ConnectLimit.start(TimeScale::toRealInt(kConnectLimitMs));
    serverSocket()->connectToHost(m_Address, serverPort(), QIODevice::ReadWrite);
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
        m_TcpBuffer.clear();
        disconnect(m_TcpSocket, &QIODevice::readyRead, this, nullptr);
        disconnect(m_TcpSocket, &QAbstractSocket::disconnected, this, nullptr);
        connect(m_TcpSocket, &QIODevice::readyRead, this, &SipObject::readyReadTcp,
                Qt::DirectConnection);
        connect(m_TcpSocket, &QAbstractSocket::disconnected, this, &SipObject::serverConnectionLost,
                Qt::QueuedConnection);
        m_TcpKeepAlive.start();
    }
    const auto end = qMakePair(socket->localAddress(), socket->localPort());
    m_ServerLocalEnds.removeAll(end);
    m_ServerLocalEnds.append(end);
    if (m_ServerLocalEnds.size() > kServerLocalEnds)
        m_ServerLocalEnds.removeFirst();
    m_ConnectFailed = false;
    m_ReconnectMs = kRetryMs;
    // Requests name the outside server, also when they go out through the proxy.
    emit initServerConnection(m_ServerTransport, m_ServerAddress,
                              m_ProxyUse ? m_ServerPort : socket->peerPort(),
                              socket->localAddress().toString(), socket->localPort());
    report(SipConnected, socket->socketType());
    if (!m_Running)
        started();
    if (socket == m_UdpSocket)
        readyRead();
}

void SipObject::serverConnectFailed()
{
    // The socket gave up before the limit: no answer of the server's says why when the system
    // would not connect from the configured port (the same connection still waits in TIME-WAIT,
    // unreusable without TCP timestamps).
    const bool refusedHere = m_ConnectLimit.isActive();
    m_ConnectLimit.stop();
    QAbstractSocket *socket = serverSocket();
    const QAbstractSocket::SocketError error = socket->error();
    const QString errorText = socket->errorString();
    const bool portUnusable = refusedHere && socket == m_TcpSocket && !m_BindRandom
        && socket->localPort() == m_BindPort && error == QAbstractSocket::UnknownSocketError;
    // A UDP socket stays bound to its port across attempts; a TCP one is made anew.
    if (socket == m_TcpSocket)
        renewTcpSocket();
    else if (socket->state() != QAbstractSocket::BoundState)
        socket->abort();
    socket = serverSocket();
    report(SipConnecting, socket->socketType(), error, errorText);
    if (!m_ConnectFailed) {
        m_ConnectFailed = true;
        const QString host = m_ProxyUse ? m_ProxyAddress : m_ServerAddress;
        logSip(QStringLiteral("Unable connect to host %1(%2):%3 on %4. (Socket error %5: %6)")
                   .arg(host, m_Address.toString())
                   .arg(serverPort())
                   .arg(serverTransportName())
                   .arg(int(error))
                   .arg(errorText));
        logSip(QStringLiteral("Wait for connected to host %1(%2):%3 on %4")
                   .arg(host, m_Address.toString())
                   .arg(serverPort())
                   .arg(serverTransportName()));
    }
    Step step = (!m_BindRandom && socket->state() == QAbstractSocket::UnconnectedState)
        ? &SipObject::bindServerSocket
        : &SipObject::connectServer;
    if (portUnusable) {
        logSip(QStringLiteral("Unable connect from port %1 on TCP").arg(m_BindPort));
        step = &SipObject::connectFromFreePort;
    }
    if (!m_Running) {
        retry(step);
        return;
    }
    // Opening a lost connection again: the pause grows, so a server that stays away is not
    // knocked at every second for hours.
    m_Retry.disconnect();
    connect(&m_Retry, &QTimer::timeout, this, step);
    m_Retry.start(TimeScale::toRealInt(m_ReconnectMs));
    m_ReconnectMs = qMin(m_ReconnectMs * 2, kReconnectMaxMs);
}

// The outside server closed the gateway's TCP connection (a restart, a network fault): it is
// opened again, and the accounts register again once it stands (initServerConnection).
void SipObject::serverConnectionLost()
{
    if (terminate || !m_TcpSocket || m_TcpSocket->state() == QAbstractSocket::ConnectedState
        || m_Retry.isActive() || m_ConnectLimit.isActive())
        return;
    m_TcpKeepAlive.stop();
    m_TcpBuffer.clear();
    const QAbstractSocket::SocketError error = m_TcpSocket->error();
    const QString errorText = m_TcpSocket->errorString();
    logSip(QStringLiteral("Connection to host %1:%2 on TCP lost (Socket error %3: %4)")
               .arg(m_Address.toString())
               .arg(serverPort())
               .arg(int(error))
               .arg(errorText));
    renewTcpSocket();
    report(SipConnecting, QAbstractSocket::TcpSocket, error, errorText);
    m_Retry.disconnect();
    connect(&m_Retry, &QTimer::timeout, this,
            m_BindRandom ? &SipObject::connectServer : &SipObject::bindServerSocket);
    m_Retry.start(TimeScale::toRealInt(m_ReconnectMs));
    m_ReconnectMs = qMin(m_ReconnectMs * 2, kReconnectMaxMs);
}

quint16 SipObject::serverPort() const
{
    // Through the outbound proxy, the proxy's own port.
    return m_ProxyUse ? m_ProxyPort : m_ServerPort;
}

// The local server's connection to a user registered over TCP: opened for the registration
// unless it came on one (no user name), closed without a report when no account is left on it.
// Closing lets what was written to it go out first. A connection that is gone as its
// registration is applied reports its end at once: nothing else would.
void SipObject::initTcpSocket(QString addr, ushort port, bool init, QString userName,
                              quint64 connection)
{
    if (!m_TcpServer)
        return;
    auto *socket = findChild<SipTcpSocket *>(SipTcpSocket::socketName(addr, port));
    if (init && (socket ? socket->isGone() : userName.isEmpty())) {
        emit deInitTcpSocket(addr, port);
        return;
    }
    if (socket) {
        if (init) {
            // Registered over the connection it came on: that one is kept while it lasts, and
            // its end unregisters the accounts on it.
            socket->markRegistered(connection);
            connect(socket, &SipTcpSocket::deInitTcpSocket, this, &SipObject::deInitTcpSocket,
                    Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        } else if ((socket = namedTcpSocket(addr, port, connection))) {
            socket->closeQuietly();
        }
        return;
    }
    if (!init)
        return;
    socket = new SipTcpSocket(m_TcpServer);
    socket->setProperty("user", userName);
    socket->setConnection(connection);
    connect(socket, &SipTcpSocket::checkDatagram, m_TcpServer, &SipTcpServer::checkDatagram,
            Qt::DirectConnection);
    startTcpPeer(socket, addr, port);
}

void SipObject::releaseTcpSocket(QString addr, ushort port, quint64 connection)
{
    if (!m_TcpServer)
        return;
    if (auto *socket = namedTcpSocket(addr, port, connection))
        socket->markUnregistered();
}

SipTcpSocket *SipObject::namedTcpSocket(const QString &addr, quint16 port, quint64 connection) const
{
    const QList<SipTcpSocket *> sockets
        = findChildren<SipTcpSocket *>(SipTcpSocket::socketName(addr, port));
    const auto named = std::find_if(sockets.cbegin(), sockets.cend(), [&](const SipTcpSocket *s) {
        return connection == 0 || s->connection() == connection;
    });
    return named == sockets.cend() ? nullptr : *named;
}

void SipObject::startTcpPeer(SipTcpSocket *peer, const QString &addr, quint16 port)
{
    peer->setSocketName(addr, port);
    connect(peer, &SipTcpSocket::deInitTcpSocket, this, &SipObject::deInitTcpSocket,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    // Written bytes wait in the socket until it connects: SIP I/O goes on meanwhile.
    peer->connectToHost(QHostAddress(addr), port, QIODevice::ReadWrite);
}

void SipObject::readyReadTcp()
{
    if (!m_TcpSocket)
        return;
    while (m_TcpSocket->bytesAvailable() > 0) {
        m_TcpBuffer.append(m_TcpSocket->readAll());
        QByteArray message;
        QString error;
        SipStreamFramer::Result result;
        const QString peer = m_TcpSocket->peerAddress().toString();
        while ((result = m_TcpBuffer.next(&message, &error)) == SipStreamFramer::Complete) {
            emit checkDatagram(SipTransport::TCP, peer, m_TcpSocket->peerPort(),
                               m_TcpSocket->localAddress().toString(), m_TcpSocket->localPort(),
                               message);
            trace(QStringLiteral("-> %1 %2:%3 recive datagram from %4:%5\n%6"),
                  QStringLiteral("TCP"), m_TcpSocket, peer, m_TcpSocket->peerPort(), message);
        }
        if (result == SipStreamFramer::Failed) {
            // Reading on would take body bytes for messages: the connection starts afresh.
            logSip(QStringLiteral("Close TCP connection to %1:%2: %3")
                       .arg(peer)
                       .arg(m_TcpSocket->peerPort())
                       .arg(error));
            m_TcpSocket->disconnectFromHost();
            return;
        }
    }
}
