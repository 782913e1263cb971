#include "sip/siptcpsocket.h"

#include "core/env.h"
#include "core/timescale.h"
#include "sip/message/sipmessage.h"

#include <QHostAddress>
#include <QTimerEvent>

const int TCP_TIMEOUT = 30000;

namespace {

const char *const kUser = "user";

} // namespace

SipTcpSocket::SipTcpSocket(QObject *parent, qintptr socketDescriptor)
    : QTcpSocket(parent)
    , m_Idle(this)
{
    setProperty(kUser, QString());
    connect(this, &QAbstractSocket::errorOccurred, this, &SipTcpSocket::onError,
            Qt::QueuedConnection);
    connect(this, &QAbstractSocket::disconnected, this, &SipTcpSocket::onDisconnected,
            Qt::QueuedConnection);
    connect(this, &QIODevice::readyRead, this, &SipTcpSocket::onReadyRead, Qt::DirectConnection);
    m_Idle.setSingleShot(true);
    connect(&m_Idle, &QTimer::timeout, this, &SipTcpSocket::idleTimeout);
    if (socketDescriptor != 0 && setSocketDescriptor(socketDescriptor)) {
        setSocketName(peerAddress().toString(), peerPort());
        startKeepAlive();
        m_Idle.start(TimeScale::toRealInt(FirstMessageMs));
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
    m_Address = address;
    m_Port = port;
    setObjectName(socketName(address, port));
}

void SipTcpSocket::markRegistered(quint64 connection)
{
    if (connection != 0)
        m_Connection = connection;
    m_Registered = true;
    m_Idle.stop();
}

void SipTcpSocket::markUnregistered()
{
    m_Registered = false;
    setProperty(kUser, QString());
    m_CarriedMessage = true;
    m_Idle.start(TimeScale::toRealInt(IdleMs));
}

bool SipTcpSocket::carriesAccount() const
{
    return m_Registered || !property(kUser).toString().trimmed().isEmpty();
}

bool SipTcpSocket::isGone() const
{
    return m_Released || state() == QAbstractSocket::UnconnectedState
        || state() == QAbstractSocket::ClosingState;
}

void SipTcpSocket::closeQuietly()
{
    m_Registered = false;
    setProperty(kUser, QString());
    m_Idle.stop();
    if (state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    // What was written goes out before the close (once connected, for one being opened); a
    // peer that reads none of it must not keep the socket.
    disconnectFromHost();
    if (state() != QAbstractSocket::UnconnectedState) {
        QTimer::singleShot(TimeScale::toRealInt(CloseMs), this, [this] {
            abort();
            deleteLater();
        });
    }
}

// Only a connection still judged is looked at: the engine parses every message again anyway.
void SipTcpSocket::noteMessage(const QByteArray &message)
{
    if (!m_Idle.isActive())
        return;
    const SipMessage parsed(SipTransport::TCP, peerAddress(), peerPort(), localAddress(),
                            localPort(), message);
    if (!parsed.isValid())
        return;
    m_CarriedMessage = true;
    m_Idle.start(TimeScale::toRealInt(IdleMs));
}

void SipTcpSocket::idleTimeout()
{
    const QString reason = m_CarriedMessage
        ? QStringLiteral("Idle for %1 s without a registered account.").arg(IdleMs / 1000)
        : QStringLiteral("No SIP message within %1 s.").arg(FirstMessageMs / 1000);
    logLine(LogParams::Sip,
            QStringLiteral("Close TCP connection %1: %2").arg(objectName(), reason));
    abort();
}

void SipTcpSocket::startKeepAlive()
{
    if (m_TimerId < 0)
        m_TimerId = startTimer(TimeScale::toRealInt(TCP_TIMEOUT), Qt::CoarseTimer);
}

void SipTcpSocket::timerEvent(QTimerEvent *event)
{
    // Not after a close of ours: the socket goes only once its end has been reported.
    if (event->timerId() == m_TimerId && state() == QAbstractSocket::ConnectedState)
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
    m_Released = true;
    m_Idle.stop();
    if (m_TimerId >= 0) {
        killTimer(m_TimerId);
        m_TimerId = -1;
    }
    if (carriesAccount()) {
        m_Registered = false;
        setProperty(kUser, QString());
        emit deInitTcpSocket(m_Address, m_Port);
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
            noteMessage(message);
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
