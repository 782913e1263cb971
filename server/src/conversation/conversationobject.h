#pragma once

#include "common/sound/sound_wav/soundwavparam.h"
#include "conversation/conversationtype.h"
#include "conversation/dtmftype.h"
#include "conversation/frameclock.h"
#include "conversation/socketdrain.h"
#include "core/qsmdraction.h"
#include "sip/message/sipmessage.h"
#include "sip/message/sipsdpaction.h"

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class ConversationCaller;
class EventWait;
class QUdpSocket;

// The worker of one conversation. It lives in the conversation's own thread, owns the four
// UDP sockets and the legs, and runs the media loop: every 20 ms each leg gets one frame, taken
// from the other leg's jitter buffer or from a sound, encoded and sent as RTP to a SIP leg or
// handed to a door-device leg. Slots run between passes of the loop, so no lock is needed.
class ConversationObject : public QObject
{
    Q_OBJECT
public:
    // The longest a call may last, in seconds; 0 (or less) means no limit. Written by the
    // SIP engine's thread, read by every conversation thread.
    static std::atomic<qint64> m_CallDuration;

    ConversationObject(const ConversationType &type, const QString &name,
                       QUdpSocket *audioRtpSocket, QUdpSocket *audioRtcpSocket,
                       QUdpSocket *videoRtpSocket, QUdpSocket *videoRtcpSocket);
    ~ConversationObject() override;

signals:
    void cacheCaller(QString callerName, bool add);
    void finished();
    void lastBye(SipMessage invite, QString toUser, bool normal);
    void lastCancel(SipMessage invite, QString toUser, bool normal);
    void moveCaller(QString conversationName, QString user, SipMessage invite);
    void sendSipInfo(QString conversationName, SipMessage invite, QString fromUserName,
                     QString toUserName, uchar event, uint duration);
    void smdrLog(QDateTime datetime, QString src, QString dest, qlonglong duration,
                 QSmdrAction::Type action, QString attr);
    void smdrLog(QDateTime datetime, QString src, QString dest, qlonglong duration,
                 QSmdrAction::Type action);

public slots:
    void audioRtpDatagrams();
    void audioRtcpDatagrams();
    void videoRtpDatagrams();
    void videoRtcpDatagrams();
    void onMasterSlave(QString master, QString slave);
    void onAppendCaller(
        qulonglong rtp_timeout, QString user, SipMessage invite, uchar audio_type = 255,
        QHostAddress rtp_addr = QHostAddress(QHostAddress::AnyIPv4), ushort rtp_port = 0,
        QHostAddress rtcp_addr = QHostAddress(QHostAddress::AnyIPv4), ushort rtcp_port = 0,
        SipSdpAction::Type sdp_action = SipSdpAction::Unknown, uchar video_type = 255,
        QHostAddress video_rtp_addr = QHostAddress(QHostAddress::AnyIPv4),
        ushort video_rtp_port = 0,
        QHostAddress video_rtcp_addr = QHostAddress(QHostAddress::AnyIPv4),
        ushort video_rtcp_port = 0, SipSdpAction::Type video_sdp_action = SipSdpAction::Unknown);
    void onAppendCallerObject(QString callId, ConversationCaller *caller);
    void onAcceptCaller(QString callId);
    void onUpdateCaller(SipMessage invite);
    void onReplaceCaller(QString callId, uchar audio_type, QHostAddress rtp_addr, ushort rtp_port,
                         QHostAddress rtcp_addr, ushort rtcp_port, SipSdpAction::Type sdp_action,
                         uchar video_type = 255,
                         QHostAddress video_rtp_addr = QHostAddress(QHostAddress::AnyIPv4),
                         ushort video_rtp_port = 0,
                         QHostAddress video_rtcp_addr = QHostAddress(QHostAddress::AnyIPv4),
                         ushort video_rtcp_port = 0,
                         SipSdpAction::Type video_sdp_action = SipSdpAction::Unknown);
    void onRemoveCaller(QString callId, bool normal);
    void onRemoveCallerAndBye(QString callId, bool normal);
    void onReferCaller(QString callId, QString conversationName);
    void onCheck();
    void onClearCallers();
    void onHangUp(bool normal);
    // Also safe from another thread: the loop sees the flag at its next pass, woken for it.
    void onQueryTerminate();
    void onAppendSipInfo(DtmfType::Type dtmfType, QString callId, QString fromUserName, uchar event,
                         uint duration);
    void onResultSipInfo(QString callId, QString fromUserName, SoundWavParam::Type fromPlaySound,
                         QString toUserName, SoundWavParam::Type toPlaySound);
    void run();

private:
    bool isGroup() const { return m_Type == 4 || m_Type == 8; }
    QList<ConversationCaller *> liveLegs() const;
    ConversationCaller *leg(const QString &callId) const { return m_Legs.value(callId, nullptr); }
    ConversationCaller *legFromRtp(const QHostAddress &addr, quint16 port) const;
    void pumpEvents();
    // The next moment the loop has work of its own: a frame or the call-duration limit.
    qint64 nextDeadline() const;

    void twoPartyFrame(bool &keepRunning);
    void groupFrame(ConversationCaller *master);
    void deliver(QByteArray frame, ConversationCaller *source, ConversationCaller *to,
                 bool &keepRunning);
    void sendAudio(ConversationCaller *to, const QByteArray &frame);
    void checkDuration(bool &keepRunning);
    void endLoop();
    // The leg under callId taken out by a removal, which sets the normal flag; null if none.
    ConversationCaller *takeForRemoval(const QString &callId, bool normal);
    // A leg leaves: its name goes from the controller's list and the leg is destroyed.
    void forget(ConversationCaller *gone);
    // Every leg leaves, greatest call id first, each reported before it goes.
    void forgetAll(const std::function<void(ConversationCaller *)> &report);

    QSmdrAction::Type action() const;
    QSmdrAction::Type summaryAction() const;
    void writeRecord(const QDateTime &time, const QString &src, const QString &dest,
                     qint64 duration, QSmdrAction::Type action, const QString &attr = QString());
    // The records of a leg that leaves, by the kind of call.
    void writeRemovalRecords(const QString &callId, ConversationCaller *gone);
    void writeEndRecords();
    void writeGroupEnd(const QDateTime &start, qint64 d, const ConversationCaller *master);
    void removeGroupLeg(const QString &callId, ConversationCaller *gone);
    void removeTwoPartyLeg(const QString &callId, ConversationCaller *gone);
    // A new leg that joins a call already answered is rung from now, not from the call's start.
    void markJoining(ConversationCaller *joining) const;
    // The record of src's call to dest, which dest did not answer: from when dest was rung.
    void writeUnanswered(const ConversationCaller *src, const ConversationCaller *dest);

    void handleTelephoneEvent(ConversationCaller *from, quint32 ssrc, quint32 timestamp,
                              const QByteArray &payload);
    bool isOwnEndpoint(const QHostAddress &addr, quint16 port) const;
    void relayVideo(QUdpSocket *socket, bool rtcp);

    QDateTime m_Created;
    qint64 m_CreatedMono;
    ConversationType m_Type;
    std::atomic<bool> m_Terminate { false };
    QUdpSocket *m_AudioRtpSocket;
    QUdpSocket *m_AudioRtcpSocket;
    QUdpSocket *m_VideoRtpSocket;
    QUdpSocket *m_VideoRtcpSocket;
    FrameClock m_Clock;
    EventWait *m_Wait; // the loop's sleep between passes, a child that moves with us
    SocketDrain m_Drain; // audio is read at each frame, not as each packet lands
    const QByteArray m_Silence; // one 320-byte zero frame, shared by every silent frame
    qint64 m_CallStart = 0; // wall clock, ms since the epoch; 0 = not connected
    qint64 m_CallStartMono = 0; // the same moment on the monotonic clock
    bool m_GroupRecorded = false; // a group call's records are written: the end writes no more
    QMap<QString, ConversationCaller *> m_Legs;
    bool m_Normal = true;
    QString m_FirstCallId;
    QString m_Master;
    QString m_Slave;

    QList<quint16> m_OwnPorts;
    QList<QHostAddress> m_OwnAddresses;
    quint16 m_PortBase = 0;
};
