#include "velk/velkobject.h"

#include "core/env.h"
#include "core/timescale.h"
#include "velk/velkprotocol.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>

VelkObject::VelkObject(const QString &bindAddress, quint16 bindPort, bool logProtocol,
                       QObject *parent)
    : AttendedThreadObject(parent)
    , m_LogProtocol(logProtocol)
    , m_BindAddress(bindAddress)
    , m_BindPort(bindPort)
    , m_Retry(this)
{
    qRegisterMetaType<QHostAddress>("QHostAddress");
    qRegisterMetaType<VelkConnectionState>("VelkConnectionState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    setObjectName(QStringLiteral("VelkObject"));
    m_Retry.setSingleShot(true);
}

VelkObject::~VelkObject()
{
    emit setConnectionState(VelkNotRunning);
    logLine(LogParams::Velk, QStringLiteral("Stopped"));
}

quint16 VelkObject::localPort() const
{
    return m_Listening ? m_Socket->localPort() : 0;
}

void VelkObject::run()
{
    logLine(LogParams::Velk, QStringLiteral("Starting ..."));
    emit setConnectionState(VelkNotRunning);
    m_Socket = new QUdpSocket(this);
    emit setConnectionState(VelkSocketCreated);
    m_Address = QHostAddress(QHostAddress::AnyIPv4);
    if (m_BindAddress != QLatin1String("0.0.0.0") && !terminate) {
        resolve();
        return;
    }
    emit setConnectionState(VelkBinding);
    bindSocket();
}

// The retries wait on a timer rather than in a loop, so the thread sleeps between attempts and
// a stop ends them at once.
void VelkObject::resolve()
{
    if (terminate) {
        emit setConnectionState(VelkBinding);
        bindSocket();
        return;
    }
    const QList<QHostAddress> found = QHostInfo::fromName(m_BindAddress).addresses();
    for (const QHostAddress &address : found) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_Address = address;
            emit setConnectionState(VelkBinding);
            bindSocket();
            return;
        }
    }
    if (!m_LookupFailed) {
        m_LookupFailed = true;
        emit setConnectionState(VelkLookupFailed);
        logLine(LogParams::Velk, QStringLiteral("Unable lookup host %1").arg(m_BindAddress));
    }
    m_Retry.disconnect();
    connect(&m_Retry, &QTimer::timeout, this, &VelkObject::resolve);
    m_Retry.start(TimeScale::toRealInt(kRetryMs));
}

void VelkObject::bindSocket()
{
    if (terminate) {
        emit setConnectionState(VelkNotRunning);
        return;
    }
    if (m_Socket->bind(m_Address, m_BindPort, QAbstractSocket::DontShareAddress)) {
        m_Listening = true;
        emit setConnectionState(VelkListening);
        logLine(LogParams::Velk,
                QStringLiteral("Listen on UDP socket %1:%2")
                    .arg(m_Socket->localAddress().toString())
                    .arg(m_Socket->localPort()));
        connect(m_Socket, &QUdpSocket::readyRead, this, &VelkObject::readyRead,
                Qt::DirectConnection);
        logLine(LogParams::Velk, QStringLiteral("Started"));
        readyRead();
        return;
    }
    emit setConnectionState(VelkBinding, m_Socket->error(), m_Socket->errorString());
    if (!m_BindFailed) {
        m_BindFailed = true;
        logLine(LogParams::Velk,
                QStringLiteral("Unable to bind UDP socket %1:%2 (SocketError %3: %4)")
                    .arg(m_Address.toString())
                    .arg(m_BindPort)
                    .arg(int(m_Socket->error()))
                    .arg(m_Socket->errorString()));
    }
    m_Retry.disconnect();
    connect(&m_Retry, &QTimer::timeout, this, &VelkObject::bindSocket);
    m_Retry.start(TimeScale::toRealInt(kRetryMs));
}

void VelkObject::queryTerminate()
{
    AttendedThreadObject::queryTerminate();
    if (m_Retry.isActive()) {
        m_Retry.stop();
        emit setConnectionState(VelkNotRunning);
    }
}

void VelkObject::readyRead()
{
    if (!m_Socket)
        return;
    while (m_Socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_Socket->receiveDatagram();
        const QHostAddress sender = datagram.senderAddress();
        const quint16 port = quint16(datagram.senderPort());
        emit checkDatagram(sender, port, datagram.data());
        trace(QStringLiteral("->"), QStringLiteral("recive datagram from"), sender, port,
              datagram.data());
    }
}

void VelkObject::sendDatagram(QHostAddress receiverAddr, ushort receiverPort, QByteArray datagram)
{
    if (datagram.isEmpty() || !m_Socket)
        return;
    m_Socket->writeDatagram(datagram, receiverAddr, receiverPort);
    trace(QStringLiteral("<-"), QStringLiteral("send datagram to"), receiverAddr, receiverPort,
          datagram);
}

void VelkObject::trace(const QString &arrow, const QString &what, const QHostAddress &peer,
                       quint16 port, const QByteArray &datagram)
{
    if (!m_LogProtocol)
        return;
    logLine(LogParams::Velk,
            QStringLiteral("%1 UDP %2:%3 %4 %5:%6\n%7")
                .arg(arrow, m_Socket->localAddress().toString())
                .arg(m_Socket->localPort())
                .arg(what, peer.toString())
                .arg(port)
                .arg(VelkProtocol::hex(datagram)));
}
