#pragma once

#include "common/sound/sound_wav/soundwavparam.h"
#include "conversation/conversationtype.h"
#include "conversation/dtmftype.h"
#include "core/qsmdraction.h"
#include "sip/message/sipmessage.h"
#include "sip/message/sipsdpaction.h"

#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QThread>

class ConversationCaller;
class ConversationObject;
class QUdpSocket;

// The public face of one call. It lives in the core thread beside the SIP engine and the door
// devices; its worker runs the media loop in the conversation's own thread. Other subsystems
// drive the call only through this object's signals, each queued to the worker slot of the
// same meaning; the worker's reports come back as this object's signals.
class ConversationThread : public QObject
{
    Q_OBJECT
public:
    // Binds four consecutive free UDP ports in [minPort, maxPort) and starts the conversation;
    // null when no quadruple is free.
    static ConversationThread *create(const ushort &minPort, const ushort &maxPort,
                                      const ConversationType &type, const bool &video,
                                      const QString &name, QObject *parent);

    ConversationThread(const ConversationType &type, const QString &name,
                       QUdpSocket *audioRtpSocket, QUdpSocket *audioRtcpSocket, const bool &video,
                       QUdpSocket *videoRtpSocket, QUdpSocket *videoRtcpSocket,
                       QObject *parent = nullptr);
    ~ConversationThread() override;

    // Moves a ready door-device leg into the conversation's thread and hands it over.
    void addCallerObject(const QString &callId, ConversationCaller *caller);

    ConversationType type() const { return m_Type; }
    QDateTime created() const { return m_Created; }
    ushort audioRtpPort() const { return m_AudioRtpPort; }
    ushort audioRtcpPort() const { return m_AudioRtcpPort; }
    ushort videoRtpPort() const { return m_VideoRtpPort; }
    ushort videoRtcpPort() const { return m_VideoRtcpPort; }
    QStringList callerNames() const { return m_CallerNames; }
    bool video() const { return m_Video; }
    QString master() const { return m_Master; }
    QString slave() const { return m_Slave; }

signals:
    void deleting(QString name);
    void masterSlave(QString master, QString slave);
    void
    appendCaller(qulonglong rtp_timeout, QString user, SipMessage invite, uchar audio_type = 255,
                 QHostAddress rtp_addr = QHostAddress(QHostAddress::AnyIPv4), ushort rtp_port = 0,
                 QHostAddress rtcp_addr = QHostAddress(QHostAddress::AnyIPv4), ushort rtcp_port = 0,
                 SipSdpAction::Type sdp_action = SipSdpAction::Unknown, uchar video_type = 255,
                 QHostAddress video_rtp_addr = QHostAddress(QHostAddress::AnyIPv4),
                 ushort video_rtp_port = 0,
                 QHostAddress video_rtcp_addr = QHostAddress(QHostAddress::AnyIPv4),
                 ushort video_rtcp_port = 0,
                 SipSdpAction::Type video_sdp_action = SipSdpAction::Unknown);
    void appendCallerObject(QString callId, ConversationCaller *caller);
    void acceptCaller(QString callId);
    void updateCaller(SipMessage invite);
    void replaceCaller(QString callId, uchar audio_type, QHostAddress rtp_addr, ushort rtp_port,
                       QHostAddress rtcp_addr, ushort rtcp_port, SipSdpAction::Type sdp_action,
                       uchar video_type = 255,
                       QHostAddress video_rtp_addr = QHostAddress(QHostAddress::AnyIPv4),
                       ushort video_rtp_port = 0,
                       QHostAddress video_rtcp_addr = QHostAddress(QHostAddress::AnyIPv4),
                       ushort video_rtcp_port = 0,
                       SipSdpAction::Type video_sdp_action = SipSdpAction::Unknown);
    void removeCaller(QString callId, bool normal);
    void removeCallerAndBye(QString callId, bool normal);
    void referCaller(QString callId, QString conversationName);
    void check();
    void clearCallers();
    // Ends the call as a hang-up of every party would: each leg is removed with its record and
    // handed back for BYE (CANCEL or a final answer where it never answered), then it ends.
    void hangUp(bool normal);
    void queryTerminate();
    void lastBye(SipMessage invite, QString toUser, bool normal);
    void lastCancel(SipMessage invite, QString toUser, bool normal);
    void moveCaller(QString conversationName, QString user, SipMessage invite);
    void sendSipInfo(QString conversationName, SipMessage invite, QString fromUserName,
                     QString toUserName, uchar event, uint duration);
    void appendSipInfo(DtmfType::Type dtmfType, QString callId, QString fromUserName, uchar event,
                       uint duration);
    void resultSipInfo(QString callId, QString fromUserName, SoundWavParam::Type fromPlaySound,
                       QString toUserName, SoundWavParam::Type toPlaySound);
    void play_suspend();
    void play_resume();
    void play_end();
    void smdrLog(QDateTime datetime, QString src, QString dest, qlonglong duration,
                 QSmdrAction::Type action, QString attr);
    void smdrLog(QDateTime datetime, QString src, QString dest, qlonglong duration,
                 QSmdrAction::Type action);

public slots:
    void onCacheCaller(QString callerName, bool add);
    void setMasterSlave(QString master, QString slave);

private:
    static void registerTypes();

    ConversationType m_Type;
    QDateTime m_Created;
    QThread m_Thread;
    ConversationObject *m_Worker;
    ushort m_AudioRtpPort;
    ushort m_AudioRtcpPort;
    ushort m_VideoRtpPort;
    ushort m_VideoRtcpPort;
    QStringList m_CallerNames;
    bool m_Video;
    QString m_Master;
    QString m_Slave;
};
