#include "sip/siptcpserver.h"

#include "core/env.h"
#include "sip/siptcpsocket.h"

#include <QHostAddress>

#include <algorithm>

SipTcpServer::SipTcpServer(QObject *parent)
    : QTcpServer(parent)
{
    setObjectName(QStringLiteral("SipTcpServer"));
}

int SipTcpServer::connectionCount() const
{
    return findChildren<SipTcpSocket *>(QString(), Qt::FindDirectChildrenOnly).size();
}

void SipTcpServer::incomingConnection(qintptr socketDescriptor)
{
    const QList<SipTcpSocket *> open
        = findChildren<SipTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    if (open.size() >= m_MaxConnections) {
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        logRefusal(refused, QStringLiteral("%1 connections open").arg(m_MaxConnections));
        refused.abort();
        return;
    }
    auto *socket = new SipTcpSocket(this, socketDescriptor);
    const QHostAddress peer = socket->peerAddress();
    const auto sameAddress
        = std::count_if(open.cbegin(), open.cend(), [&peer](const SipTcpSocket *other) {
              return other->peerAddress() == peer;
          });
    if (sameAddress >= MaxConnectionsPerAddress) {
        logRefusal(
            *socket,
            QStringLiteral("%1 connections open from that address").arg(MaxConnectionsPerAddress));
        delete socket;
        return;
    }
    m_RefusalLogged = false;
    connect(socket, &SipTcpSocket::checkDatagram, this, &SipTcpServer::checkDatagram,
            Qt::DirectConnection);
}

// One line per run of refusals: a flood must not flood the log as well.
void SipTcpServer::logRefusal(const QTcpSocket &socket, const QString &reason)
{
    if (m_RefusalLogged)
        return;
    logLine(LogParams::Sip,
            QStringLiteral("Refuse TCP connection from %1:%2: %3")
                .arg(socket.peerAddress().toString())
                .arg(socket.peerPort())
                .arg(reason));
    m_RefusalLogged = true;
}
