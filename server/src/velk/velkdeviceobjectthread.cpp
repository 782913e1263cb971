#include "velk/velkdeviceobjectthread.h"

#include <QUdpSocket>

VelkDeviceObjectThread::VelkDeviceObjectThread(quint16 number, quint32 password, quint8 version,
                                               QUdpSocket *socket, QObject *parent)
    : AttendedThreadObject(parent)
    , m_Number(number)
    , m_Password(password)
    , m_Version(version)
    , m_Socket(socket)
{
    setObjectName(QStringLiteral("VelkDeviceObjectThread_%1").arg(number));
    if (m_Socket) {
        m_Socket->setParent(this);
        connect(m_Socket, &QUdpSocket::readyRead, this, &VelkDeviceObjectThread::readyRead,
                Qt::DirectConnection);
    }
}

quint16 VelkDeviceObjectThread::localPort() const
{
    return m_Socket ? m_Socket->localPort() : 0;
}

void VelkDeviceObjectThread::readyRead()
{
    // Audio frames are not exchanged yet: the socket is drained so it never fills.
    while (m_Socket && m_Socket->hasPendingDatagrams())
        m_Socket->readDatagram(nullptr, 0);
}

void VelkDeviceObjectThread::toDevice(qulonglong, QByteArray) { }

void VelkDeviceObjectThread::setVelkOutputType(int type, QString index, qint64 block,
                                               qulonglong pos)
{
    const QString oldIndex = m_SourceIndex;
    const qint64 oldBlock = m_SourceBlock;
    const qulonglong oldPosition = m_SourcePosition;
    if (type != m_OutputType) {
        m_SourceIndex = index;
        m_SourceBlock = block;
        m_SourcePosition = pos;
    }
    m_OutputType = type;
    emit resetVelkOutputType(type, oldIndex, oldBlock, oldPosition);
}

void VelkDeviceObjectThread::controlMusic(int, VelkMusic, QString) { }
