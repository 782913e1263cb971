#include "sip/siptcpserver.h"

#include "core/env.h"
#include "sip/siptcpsocket.h"

#include <QHostAddress>

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
    if (connectionCount() >= m_MaxConnections) {
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        // One line per run of refusals: a flood must not flood the log as well.
        if (!m_RefusalLogged) {
            logLine(LogParams::Sip,
                    QStringLiteral("Refuse TCP connection from %1:%2: %3 connections open")
                        .arg(refused.peerAddress().toString())
                        .arg(refused.peerPort())
                        .arg(m_MaxConnections));
            m_RefusalLogged = true;
        }
        refused.abort();
        return;
    }
    m_RefusalLogged = false;
    auto *socket = new SipTcpSocket(this, socketDescriptor);
    connect(socket, &SipTcpSocket::checkDatagram, this, &SipTcpServer::checkDatagram,
            Qt::DirectConnection);
}
