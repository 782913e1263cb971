// Datagram input and output of the SIP transport worker, with their protocol traces.
#include "sip/sipobject.h"

#include "core/env.h"
#include "sip/siptcpsocket.h"

#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>

namespace {

const QString kSent = QStringLiteral("<- %1 %2:%3 send datagram to %4:%5\n%6");
const QString kReceived = QStringLiteral("-> %1 %2:%3 recive datagram from %4:%5\n%6");

// The message text of a datagram: its bytes up to the first zero byte.
QString messageText(const QByteArray &datagram)
{
    const int end = datagram.indexOf('\0');
    return QString::fromUtf8(datagram.constData(), end < 0 ? datagram.size() : end);
}
} // namespace

void SipObject::trace(const QString &text, const QString &transport, const QAbstractSocket *local,
                      const QString &peerAddr, quint16 peerPort, const QByteArray &datagram)
{
    if (!m_LogSip)
        return;
    logLine(LogParams::Sip,
            text.arg(transport, local->localAddress().toString())
                .arg(local->localPort())
                .arg(peerAddr)
                .arg(peerPort)
                .arg(messageText(datagram)));
}

// The sent trace names where the datagram really goes: the peer of a connected socket (a
// gateway's requests name the local end as their receiver), else the address given. A datagram
// that could not go out is traced all the same, followed by the reason.
void SipObject::traceSent(const QString &transport, const QAbstractSocket *local,
                          const QAbstractSocket *carrier, const QString &receiverAddr,
                          quint16 receiverPort, const QByteArray &datagram, const QString &failure)
{
    if (!m_LogSip)
        return;
    const bool connected = carrier->state() == QAbstractSocket::ConnectedState;
    const QString addr = connected ? carrier->peerAddress().toString() : receiverAddr;
    const quint16 port = connected ? carrier->peerPort() : receiverPort;
    trace(kSent, transport, local, addr, port, datagram);
    if (!failure.isEmpty())
        logLine(LogParams::Sip,
                QStringLiteral("Datagram to %1:%2 on %3 not sent: %4")
                    .arg(addr)
                    .arg(port)
                    .arg(transport, failure));
}

void SipObject::sendDatagram(SipTransport::Type transport, QString receiverAddr,
                             ushort receiverPort, QByteArray datagram)
{
    if (datagram.isEmpty())
        return;
    if (transport == SipTransport::UDP) {
        if (!m_UdpSocket)
            return;
        const bool sent = sendUdp(receiverAddr, receiverPort, datagram);
        traceSent(QStringLiteral("UDP"), m_UdpSocket, m_UdpSocket, receiverAddr, receiverPort,
                  datagram, sent ? QString() : m_UdpSocket->errorString());
        return;
    }
    if (transport != SipTransport::TCP)
        return;
    QAbstractSocket *socket = tcpPeer(receiverAddr, receiverPort);
    if (!socket) {
        if (m_LogSip)
            logLine(LogParams::Sip,
                    QStringLiteral("Datagram to %1:%2 on TCP not sent: no connection")
                        .arg(receiverAddr)
                        .arg(receiverPort));
        return;
    }
    QString failure;
    // Until the server connection stands again there is nowhere to write to.
    if (socket == m_TcpSocket && socket->state() != QAbstractSocket::ConnectedState)
        failure = QStringLiteral("no connection to the server");
    else if (const auto *peer = qobject_cast<const SipTcpSocket *>(socket); peer && peer->isGone())
        failure = QStringLiteral("the connection is closed");
    else if (socket->write(datagram) != datagram.size())
        failure = socket->errorString();
    // A gateway traces its server connection's end, whichever connection carried the message.
    const QAbstractSocket *local = m_IsStandalone ? socket : m_TcpSocket;
    traceSent(QStringLiteral("TCP"), local, socket, receiverAddr, receiverPort, datagram, failure);
}

bool SipObject::sendUdp(const QString &receiverAddr, quint16 receiverPort,
                        const QByteArray &datagram)
{
    // A gateway's socket is connected: everything goes to the outside server (or proxy).
    if (!m_IsStandalone) {
        return m_UdpSocket->state() == QAbstractSocket::ConnectedState
            && m_UdpSocket->write(datagram) == datagram.size();
    }
    // An address that does not parse would be the null address, which the system takes for
    // this host.
    const QHostAddress receiver(receiverAddr);
    return m_UdpSocket->state() == QAbstractSocket::BoundState && !receiver.isNull()
        && m_UdpSocket->writeDatagram(datagram, receiver, receiverPort) == datagram.size();
}

// The TCP connection a message for that peer goes on; null when there is none to use.
QAbstractSocket *SipObject::tcpPeer(const QString &receiverAddr, quint16 receiverPort)
{
    const QString name = SipTcpSocket::socketName(receiverAddr, receiverPort);
    if (m_IsStandalone)
        return findChild<QTcpSocket *>(name);
    if (!m_TcpSocket)
        return nullptr;
    // The gateway's requests name the local end of the server connection as their receiver.
    const QHostAddress receiver(receiverAddr);
    const bool toServer
        = ((m_TcpSocket->peerAddress() == receiver || m_ServerAddress == receiverAddr)
           && m_TcpSocket->peerPort() == receiverPort)
        || (m_TcpSocket->localAddress() == receiver && m_TcpSocket->localPort() == receiverPort)
        || (m_ServerAddress == receiverAddr && m_ServerPort == receiverPort)
        || m_ServerLocalEnds.contains(qMakePair(receiver, quint16(receiverPort)));
    if (toServer)
        return m_TcpSocket;
    QTcpSocket *peer = findChild<QTcpSocket *>(name);
    if (!peer) {
        // Framed like the server connection: what the peer answers on it reaches the engine.
        auto *opened = new SipTcpSocket(m_TcpSocket);
        connect(opened, &SipTcpSocket::checkDatagram, this, &SipObject::checkDatagram,
                Qt::DirectConnection);
        connect(opened, &QAbstractSocket::connected, opened, [opened] { opened->flush(); });
        startTcpPeer(opened, receiverAddr, receiverPort);
        peer = opened;
    }
    return peer;
}

void SipObject::readyRead()
{
    if (!m_UdpSocket)
        return;
    // Read at least once: a connected socket is also woken by the ICMP error of a datagram that
    // found nobody listening, and only a read takes that error and lets the socket wake again.
    do {
        const qint64 size = m_UdpSocket->pendingDatagramSize();
        const QNetworkDatagram received = m_UdpSocket->receiveDatagram(qMax<qint64>(size, 0));
        if (!received.isValid())
            break;
        // Bound to every address, the socket's own is the wildcard: the address the peer sent
        // to is the one it reaches this server at, and the one replies must name.
        const QHostAddress destination = received.destinationAddress();
        const QHostAddress receiver
            = destination.isNull() ? m_UdpSocket->localAddress() : destination;
        const QString senderAddr = received.senderAddress().toString();
        const quint16 senderPort = quint16(received.senderPort());
        emit checkDatagram(SipTransport::UDP, senderAddr, senderPort, receiver.toString(),
                           m_UdpSocket->localPort(), received.data());
        trace(kReceived, QStringLiteral("UDP"), m_UdpSocket, senderAddr, senderPort,
              received.data());
    } while (m_UdpSocket->hasPendingDatagrams());
}
