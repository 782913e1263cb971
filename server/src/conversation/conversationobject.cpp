#include "conversation/conversationobject.h"

#include "common/codecs/audiocodec.h"
#include "common/sound/samplestream.h"
#include "conversation/conversationcaller.h"
#include "conversation/portblocks.h"
#include "core/eventwait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QNetworkInterface>
#include <QThread>
#include <QUdpSocket>

#include <limits>

namespace {

// Seconds from the settings as milliseconds, saturating: a huge limit means "practically
// never", not an overflow that ends the call at once.
qint64 secondsToMs(quint64 seconds)
{
    const quint64 most = quint64(std::numeric_limits<qint64>::max() / 1000);
    return qint64(qMin(seconds, most)) * 1000;
}

qint64 saturatedSum(qint64 a, qint64 b)
{
    const qint64 most = std::numeric_limits<qint64>::max();
    return b > most - a ? most : a + b;
}

} // namespace

std::atomic<qint64> ConversationObject::m_CallDuration(0);

ConversationObject::ConversationObject(const ConversationType &type, const QString &name,
                                       QUdpSocket *audioRtpSocket, QUdpSocket *audioRtcpSocket,
                                       QUdpSocket *videoRtpSocket, QUdpSocket *videoRtcpSocket)
    : m_Created(QDateTime::currentDateTime())
    , m_CreatedMono(FrameClock::nowMs())
    , m_Type(type)
    , m_AudioRtpSocket(audioRtpSocket)
    , m_AudioRtcpSocket(audioRtcpSocket)
    , m_VideoRtpSocket(videoRtpSocket)
    , m_VideoRtcpSocket(videoRtcpSocket)
    , m_Wait(new EventWait(this))
    , m_Silence(SampleStream::silenceFrame())
{
    setObjectName(name);
    const struct
    {
        QUdpSocket *socket;
        void (ConversationObject::*handler)();
    } sockets[] = {
        { audioRtpSocket, &ConversationObject::audioRtpDatagrams },
        { audioRtcpSocket, &ConversationObject::audioRtcpDatagrams },
        { videoRtpSocket, &ConversationObject::videoRtpDatagrams },
        { videoRtcpSocket, &ConversationObject::videoRtcpDatagrams },
    };
    for (const auto &s : sockets) {
        if (!s.socket)
            continue;
        s.socket->setParent(this);
        // Direct, so the handler reads inside the socket notifier's own dispatch; it still runs
        // in this thread's event processing, between passes of the loop. A queued hop lets a
        // readiness that the event loop polled before the previous handler drained the socket
        // emit readyRead once more with nothing to read; QUdpSocket then waits for a read that
        // never comes and never notifies again (the socket goes deaf after one datagram).
        connect(s.socket, &QUdpSocket::readyRead, this, s.handler, Qt::DirectConnection);
        m_OwnPorts.append(s.socket->localPort());
    }
    if (audioRtpSocket)
        m_PortBase = audioRtpSocket->localPort();
    m_OwnAddresses = QNetworkInterface::allAddresses();
}

ConversationObject::~ConversationObject()
{
    // Close the sockets before their block may be handed to another call.
    for (QUdpSocket *s :
         { m_AudioRtpSocket, m_AudioRtcpSocket, m_VideoRtpSocket, m_VideoRtcpSocket })
        delete s;
    if (m_PortBase != 0)
        PortBlocks::release(m_PortBase);
}

QList<ConversationCaller *> ConversationObject::liveLegs() const
{
    QList<ConversationCaller *> legs;
    for (ConversationCaller *c : m_Legs) {
        if (c)
            legs.append(c);
    }
    return legs;
}

void ConversationObject::pumpEvents()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void ConversationObject::run()
{
    bool keepRunning = true;
    while (!m_Terminate && keepRunning) {
        // Before a frame, whatever arrived up to now goes into the buffers (audio waits in its
        // sockets for this); between frames the sleep below has delivered what woke it, and
        // only what that posted is left.
        if (FrameClock::nowMs() >= m_Clock.nextDue()) {
            pumpEvents();
            audioRtpDatagrams();
            audioRtcpDatagrams();
        } else {
            QCoreApplication::sendPostedEvents();
        }
        const qint64 due = m_Clock.due();
        if (isGroup()) {
            ConversationCaller *master = leg(m_FirstCallId);
            for (qint64 i = 0; master && i < due; ++i) {
                groupFrame(master);
                m_Clock.produced();
            }
        } else {
            for (qint64 i = 0; i < due; ++i) {
                twoPartyFrame(keepRunning);
                m_Clock.produced();
            }
        }
        // Asleep until the next frame or limit falls due, or an event (a datagram, a queued
        // call such as the stop request) arrives; what arrives is delivered here.
        if (!m_Terminate && keepRunning)
            m_Wait->waitUntil(nextDeadline());
        checkDuration(keepRunning);
    }
    endLoop();
}

qint64 ConversationObject::nextDeadline() const
{
    qint64 deadline = m_Clock.nextDue();
    const qint64 limit = m_CallDuration.load();
    if (limit > 0 && m_CallStart >= 1)
        deadline = qMin(deadline, saturatedSum(m_CallStartMono, secondsToMs(quint64(limit))));
    return deadline;
}

void ConversationObject::checkDuration(bool &keepRunning)
{
    const qint64 limit = m_CallDuration.load();
    if (limit <= 0 || m_CallStart < 1 || !keepRunning)
        return;
    if (FrameClock::nowMs() - m_CallStartMono >= secondsToMs(quint64(limit)))
        keepRunning = false;
}

void ConversationObject::twoPartyFrame(bool &keepRunning)
{
    // The two legs straight from the map: this runs every 20 ms and needs no list of them.
    ConversationCaller *pair[2] = {};
    int count = 0;
    for (ConversationCaller *c : qAsConst(m_Legs)) {
        if (!c)
            continue;
        if (count == 2)
            return;
        pair[count++] = c;
    }
    if (count != 2)
        return;
    ConversationCaller *a = pair[0];
    ConversationCaller *b = pair[1];
    const QByteArray frameA = a->m_Buffer->take();
    const QByteArray frameB = b->m_Buffer->take();
    deliver(frameB, b, a, keepRunning);
    deliver(frameA, a, b, keepRunning);
}

void ConversationObject::deliver(QByteArray frame, ConversationCaller *source,
                                 ConversationCaller *to, bool &keepRunning)
{
    if (to->m_SoundPlaying) {
        const QByteArray sound = to->readSound();
        if (!sound.isEmpty())
            frame = sound;
    }
    if ((!to->acceptsMedia() && !to->m_SoundPlaying) || !to->m_Answered) {
        to->m_SilenceTime = 0;
        return;
    }
    if (frame.isEmpty() && source->sendsMedia()) {
        const qint64 now = FrameClock::nowMs();
        if (to->m_SilenceTime == 0)
            to->m_SilenceTime = now;
        else if (now - to->m_SilenceTime > secondsToMs(to->m_RtpTimeout))
            keepRunning = false;
        frame = m_Silence;
    } else {
        to->m_SilenceTime = 0;
    }
    sendAudio(to, frame);
}

void ConversationObject::sendAudio(ConversationCaller *to, const QByteArray &frame)
{
    if (to->m_Kind == ConversationCaller::Sip) {
        const QByteArray payload = AudioCodec::encode(
            to->m_AudioType, frame.isEmpty() ? m_Silence : frame, &to->m_Codec);
        // No codec (media not negotiated yet) or nobody to send to: nothing goes out.
        if (payload.isEmpty() || !ConversationCaller::reachable(to->m_RtpAddr, to->m_RtpPort))
            return;
        m_AudioRtpSocket->writeDatagram(to->nextRtpPacket(payload), to->m_RtpAddr, to->m_RtpPort);
    } else {
        emit to->toDevice(to->nextFrameId(), frame);
    }
}

void ConversationObject::groupFrame(ConversationCaller *master)
{
    const QByteArray &silence = m_Silence;
    QByteArray own = silence;
    if (master->m_SoundPlaying) {
        const QByteArray sound = master->readSound();
        if (!sound.isEmpty())
            own = sound;
    }
    if (master->m_Kind == ConversationCaller::Sip)
        sendAudio(master, own);
    else
        emit master->toDevice(master->nextFrameId(), silence);

    QByteArray voice = master->m_Buffer->take();
    if (voice.isEmpty())
        voice = silence;
    for (ConversationCaller *other : qAsConst(m_Legs)) {
        if (!other || other == master || !other->m_Answered)
            continue;
        QByteArray frame = voice;
        if (other->m_SoundPlaying) {
            const QByteArray sound = other->readSound();
            if (!sound.isEmpty())
                frame = sound;
        }
        // Every listener hears the master; a SIP listener only while it takes media.
        if (other->m_Kind == ConversationCaller::Sip) {
            if (other->acceptsMedia())
                sendAudio(other, frame);
        } else {
            emit other->toDevice(other->nextFrameId(), frame);
        }
    }
}

void ConversationObject::endLoop()
{
    writeEndRecords();
    forgetAll([this](ConversationCaller *c) {
        if (c->m_Answered)
            emit lastBye(c->m_Invite, c->m_User, m_Normal);
        else
            emit lastCancel(c->m_Invite, c->m_User, m_Normal);
    });
    emit finished();
}

void ConversationObject::onAcceptCaller(QString callId)
{
    if (ConversationCaller *c = leg(callId)) {
        if (!c->m_Answered) {
            // No two legs may share an accept time: records are ordered by it.
            qint64 latest = -1;
            for (ConversationCaller *other : liveLegs())
                latest = qMax(latest, other->m_AcceptTime);
            c->m_AcceptTime = qMax(QDateTime::currentMSecsSinceEpoch(), latest + 1);
        }
        c->m_Answered = true;
    }
    if (m_CallStart != 0)
        return;
    int answered = 0;
    for (ConversationCaller *c : liveLegs())
        answered += c->m_Answered ? 1 : 0;
    if (answered < 2 && !isGroup())
        return;
    m_CallStart = QDateTime::currentMSecsSinceEpoch();
    m_CallStartMono = FrameClock::nowMs();
    // Connected again (a transfer's target answered): the one held hears the new party now, and
    // the new party hears it; the prompt would otherwise take every frame for minutes.
    for (ConversationCaller *c : liveLegs()) {
        if (c->m_SoundPlaying && c->m_SoundId == SoundWavParam::Hold)
            c->stopSound();
    }
    if (callId == m_FirstCallId) {
        if (ConversationCaller *first = leg(callId))
            first->startSound(SoundWavParam::InfoAccept);
    }
}

void ConversationObject::onResultSipInfo(QString callId, QString fromUserName,
                                         SoundWavParam::Type fromPlaySound, QString toUserName,
                                         SoundWavParam::Type toPlaySound)
{
    ConversationCaller *from = leg(callId);
    if (!from || from->m_User != fromUserName)
        return;
    if (fromPlaySound != SoundWavParam::None)
        from->startSound(fromPlaySound);
    for (ConversationCaller *c : liveLegs()) {
        if (c == from || !c->m_Answered || c->m_User != toUserName)
            continue;
        if (toPlaySound != SoundWavParam::None)
            c->startSound(toPlaySound);
        break;
    }
}

void ConversationObject::onCheck()
{
    if (!m_Terminate && m_Legs.size() < 2)
        m_Terminate = true;
}

void ConversationObject::onQueryTerminate()
{
    m_Terminate = true;
    if (QThread::currentThread() != thread()) {
        if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread()))
            dispatcher->wakeUp();
    }
}

void ConversationObject::onMasterSlave(QString master, QString slave)
{
    m_Master = master;
    m_Slave = slave;
}
