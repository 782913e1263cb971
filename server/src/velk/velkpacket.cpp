#include "velk/velkpacket.h"

#include "core/timescale.h"
#include "velk/velkprotocol.h"

#include <QTimerEvent>

VelkPacket::VelkPacket(const QHostAddress &address, quint16 port, const QByteArray &datagram,
                       QObject *parent)
    : CoreObject(parent)
    , m_Address(address)
    , m_Port(port)
    , m_Datagram(datagram)
{
    setObjectName(key(datagram));
}

QString VelkPacket::key(const QByteArray &datagram)
{
    return VelkProtocol::answerKey(datagram);
}

VelkPacket *VelkPacket::find(const QObject *root, const QByteArray &answer)
{
    const QString name = key(answer);
    if (!root || name.isEmpty())
        return nullptr;
    return root->findChild<VelkPacket *>(name);
}

int VelkPacket::discardAll(QObject *owner)
{
    if (!owner)
        return 0;
    const QList<VelkPacket *> packets = owner->findChildren<VelkPacket *>();
    for (VelkPacket *packet : packets)
        packet->finish();
    return packets.size();
}

int VelkPacket::send()
{
    emit sendDatagram(m_Address, m_Port, m_Datagram);
    stopTimer();
    m_TimerId = startTimer(TimeScale::toRealInt(kFirstIntervalMs << m_Retries), Qt::CoarseTimer);
    return m_TimerId;
}

void VelkPacket::onAnswer(const QByteArray &answer)
{
    // Nameless from here on, so a duplicate answer cannot find it before it is gone.
    finish();
    if (answer.size() > 13)
        emit recvAnswer(quint8(answer.at(13)), m_Datagram, answer);
}

void VelkPacket::isRegisteredChanged(ushort, bool state)
{
    if (!state)
        finish();
}

void VelkPacket::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_TimerId || m_TimerId == 0)
        return;
    stopTimer();
    if (m_GaveUp) {
        finish();
        return;
    }
    if (m_Retries < kSends - 1) {
        ++m_Retries;
        send();
        return;
    }
    m_GaveUp = true;
    m_TimerId = startTimer(TimeScale::toRealInt(kLateAnswerGraceMs), Qt::CoarseTimer);
    emit recvAnswer(-1, m_Datagram, QByteArray());
}

void VelkPacket::stopTimer()
{
    if (m_TimerId != 0)
        killTimer(m_TimerId);
    m_TimerId = 0;
}

void VelkPacket::finish()
{
    stopTimer();
    setObjectName(QString());
    deleteLater();
}
