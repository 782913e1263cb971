// Datagram input and output of the SIP transport worker, with their protocol traces.
#include "sip/sipobject.h"

#include "core/env.h"

#include <QTcpSocket>
#include <QUdpSocket>

namespace {

const QString kSent = QStringLiteral("<- %1 %2:%3 send datagram to %4:%5\n%6");
const QString kNotSent = QStringLiteral("<- %1 %2:%3 datagram not sent to %4:%5\n%6");
const QString kReceived = QStringLiteral("-> %1 %2:%3 recive datagram from %4:%5\n%6");

// The message text of a datagram: its bytes up to the first zero byte.
QString messageText(const QByteArray &datagram)
{
    const int end = datagram.indexOf('\0');
    return QString::fromUtf8(datagram.constData(), end < 0 ? datagram.size() : end);
}

QString peerName(const QString &addr, quint16 port)
{
    return QStringLiteral("tcp:%1:%2").arg(addr).arg(port);
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

void SipObject::sendDatagram(SipTransport::Type transport, QString receiverAddr,
                             ushort receiverPort, QByteArray datagram)
{
    if (datagram.isEmpty())
        return;
    if (transport == SipTransport::UDP) {
        if (!m_UdpSocket)
            return;
        const bool sent = sendUdp(receiverAddr, receiverPort, datagram);
        trace(sent ? kSent : kNotSent, QStringLiteral("UDP"), m_UdpSocket, receiverAddr,
              receiverPort, datagram);
        return;
    }
    if (transport != SipTransport::TCP)
        return;
    QAbstractSocket *socket = tcpPeer(receiverAddr, receiverPort);
    if (!socket)
        return;
    const bool sent = socket->write(datagram) == datagram.size();
    // A gateway traces its server connection's end, whichever connection carried the message.
    const QAbstractSocket *local = m_IsStandalone ? socket : m_TcpSocket;
    trace(sent ? kSent : kNotSent, QStringLiteral("TCP"), local, receiverAddr, receiverPort,
          datagram);
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
    const QString name = peerName(receiverAddr, receiverPort);
    if (m_IsStandalone)
        return findChild<QTcpSocket *>(name);
    if (!m_TcpSocket)
        return nullptr;
    const bool toServer = (m_TcpSocket->peerAddress() == QHostAddress(receiverAddr)
                           || m_ServerAddress == receiverAddr)
        && m_TcpSocket->peerPort() == receiverPort;
    if (toServer)
        return m_TcpSocket;
    QTcpSocket *peer = findChild<QTcpSocket *>(name);
    if (!peer) {
        // Written bytes wait in the socket until it connects: SIP I/O goes on meanwhile.
        peer = new QTcpSocket(m_TcpSocket);
        peer->setObjectName(name);
        connect(peer, &QAbstractSocket::disconnected, peer, &QObject::deleteLater);
        connect(peer, &QAbstractSocket::connected, peer, [peer] { peer->flush(); });
        peer->connectToHost(QHostAddress(receiverAddr), receiverPort, QIODevice::ReadWrite);
    }
    return peer;
}

void SipObject::readyRead()
{
    if (!m_UdpSocket)
        return;
    while (m_UdpSocket->hasPendingDatagrams()) {
        const qint64 size = m_UdpSocket->pendingDatagramSize();
        QByteArray datagram(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 read
            = m_UdpSocket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        if (read < 0)
            break;
        datagram.resize(int(read));
        const QString senderAddr = sender.toString();
        emit checkDatagram(SipTransport::UDP, senderAddr, senderPort,
                           m_UdpSocket->localAddress().toString(), m_UdpSocket->localPort(),
                           datagram);
        trace(kReceived, QStringLiteral("UDP"), m_UdpSocket, senderAddr, senderPort, datagram);
    }
}
