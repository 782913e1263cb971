#include "sip/siptcpsocket.h"

#include "core/env.h"
#include "core/timescale.h"

#include <QHostAddress>
#include <QTimerEvent>

const int TCP_TIMEOUT = 30000;

namespace {

const char *const kUser = "user";

} // namespace

SipTcpSocket::SipTcpSocket(QObject *parent, qintptr socketDescriptor)
    : QTcpSocket(parent)
{
    setProperty(kUser, QString());
    connect(this, &QAbstractSocket::errorOccurred, this, &SipTcpSocket::onError,
            Qt::QueuedConnection);
    connect(this, &QAbstractSocket::disconnected, this, &SipTcpSocket::onDisconnected,
            Qt::QueuedConnection);
    connect(this, &QIODevice::readyRead, this, &SipTcpSocket::onReadyRead, Qt::DirectConnection);
    if (socketDescriptor != 0 && setSocketDescriptor(socketDescriptor)) {
        setSocketName(peerAddress().toString(), peerPort());
        startKeepAlive();
    } else {
        setObjectName(QStringLiteral("SipTcpSocket"));
        connect(this, &QAbstractSocket::connected, this, &SipTcpSocket::onConnected,
                Qt::QueuedConnection);
    }
    logLine(LogParams::SipDebug,
            QStringLiteral("Create SipTcpSocket for %1:%2 ")
                .arg(peerAddress().toString())
                .arg(peerPort()));
}

QString SipTcpSocket::socketName(const QString &address, quint16 port)
{
    return QStringLiteral("tcp:%1:%2").arg(address).arg(port);
}

void SipTcpSocket::setSocketName(const QString &address, quint16 port)
{
    setObjectName(socketName(address, port));
}

void SipTcpSocket::startKeepAlive()
{
    if (m_TimerId < 0)
        m_TimerId = startTimer(TimeScale::toRealInt(TCP_TIMEOUT), Qt::CoarseTimer);
}

void SipTcpSocket::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_TimerId)
        write(QByteArrayLiteral("\r\n"));
}

void SipTcpSocket::onConnected()
{
    startKeepAlive();
}

void SipTcpSocket::onError(QAbstractSocket::SocketError)
{
    release();
}

void SipTcpSocket::onDisconnected()
{
    release();
}

void SipTcpSocket::release()
{
    if (m_TimerId >= 0) {
        killTimer(m_TimerId);
        m_TimerId = -1;
    }
    const QString user = property(kUser).toString().trimmed();
    if (!user.isEmpty()) {
        setProperty(kUser, QString());
        emit deInitTcpSocket(user);
    }
    deleteLater();
}

void SipTcpSocket::onReadyRead()
{
    while (bytesAvailable() > 0) {
        m_Buffer.append(readAll());
        QByteArray message;
        QString error;
        SipStreamFramer::Result result;
        while ((result = m_Buffer.next(&message, &error)) == SipStreamFramer::Complete) {
            emit checkDatagram(SipTransport::TCP, peerAddress().toString(), peerPort(),
                               localAddress().toString(), localPort(), message);
        }
        if (result == SipStreamFramer::Failed) {
            // The stream cannot be followed: reading on would take body bytes for a message.
            logLine(LogParams::Sip,
                    QStringLiteral("Close TCP connection %1: %2").arg(objectName(), error));
            abort();
            return;
        }
    }
}
