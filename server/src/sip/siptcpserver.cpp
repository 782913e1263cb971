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
    SipTcpSocket *oldest = nullptr;
    if (open.size() >= m_MaxConnections) {
        // Children are kept in the order they were made: the first found is the oldest.
        const auto free = std::find_if(open.cbegin(), open.cend(), [](const SipTcpSocket *other) {
            return !other->carriesAccount();
        });
        if (free == open.cend()) {
            QTcpSocket refused;
            refused.setSocketDescriptor(socketDescriptor);
            logRefusal(refused, QStringLiteral("%1 connections open").arg(m_MaxConnections));
            refused.abort();
            return;
        }
        oldest = *free;
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
    if (oldest) {
        logLine(LogParams::Sip,
                QStringLiteral("Close TCP connection %1: The oldest without a registered account "
                               "makes way, %2 connections open.")
                    .arg(oldest->objectName())
                    .arg(open.size()));
        delete oldest;
    }
    endRefusals();
    connect(socket, &SipTcpSocket::checkDatagram, this, &SipTcpServer::checkDatagram,
            Qt::DirectConnection);
}

// The first of a run of refusals is logged, and the run's count once a connection is accepted
// again: a flood must not flood the log as well.
void SipTcpServer::logRefusal(const QTcpSocket &socket, const QString &reason)
{
    if (m_Refused++ > 0)
        return;
    logLine(LogParams::Sip,
            QStringLiteral("Refuse TCP connection from %1:%2: %3")
                .arg(socket.peerAddress().toString())
                .arg(socket.peerPort())
                .arg(reason));
}

void SipTcpServer::endRefusals()
{
    if (m_Refused > 1)
        logLine(LogParams::Sip,
                QStringLiteral("TCP connections accepted again after %1 refused").arg(m_Refused));
    m_Refused = 0;
}
