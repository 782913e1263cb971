#pragma once

#include "common/codecs/audiocodecstate.h"
#include "conversation/rtpsequence.h"
#include "sip/message/sipmessage.h"
#include "sip/message/sipsdpaction.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class SampleStream;

// One leg of a conversation: a SIP party reached by RTP (kind 1) or a door device whose audio
// travels through the device's audio thread (kind 2). It holds what the media loop and the
// receive paths need for that party; the conversation's worker reads and writes these fields
// directly, in the conversation's thread only.
class ConversationCaller : public QObject
{
    Q_OBJECT
public:
    enum Kind { None = 0, Sip = 1, Velk = 2 };

    explicit ConversationCaller(QObject *parent = nullptr);
    ~ConversationCaller() override;

    void initSip(qulonglong rtp_timeout, const QString &user, const SipMessage &invite,
                 uchar audio_type, const QHostAddress &rtp_addr, ushort rtp_port,
                 const QHostAddress &rtcp_addr, ushort rtcp_port, SipSdpAction::Type sdp_action,
                 uchar video_type, const QHostAddress &video_rtp_addr, ushort video_rtp_port,
                 const QHostAddress &video_rtcp_addr, ushort video_rtcp_port,
                 SipSdpAction::Type video_sdp_action);
    void initVelk(qulonglong rtp_timeout, const QString &user, const QString &callId,
                  SipSdpAction::Type sdp_action, uchar video_type,
                  const QHostAddress &video_rtp_addr, ushort video_rtp_port,
                  const QHostAddress &video_rtcp_addr, ushort video_rtcp_port,
                  SipSdpAction::Type video_sdp_action);

    // The leg's key in its conversation: the INVITE's single Call-ID for a SIP leg, the given
    // call id for a door-device leg, empty otherwise.
    QString callId() const;

    static bool isAnyIPv4(const QHostAddress &addr);
    // Whether datagrams to addr:port would reach a peer: 0.0.0.0 means "do not send" (Linux
    // would deliver it to this very host), and a null address or port 0 names nobody.
    static bool reachable(const QHostAddress &addr, quint16 port);

    // Whether RTP sent to this leg reaches a listener: it has an address and does not hold.
    bool acceptsMedia() const;
    // Whether this leg is expected to send RTP to us (for the silence watch).
    bool sendsMedia() const;

    // The next outgoing RTP packet: marker on the first one, sequence from the packet
    // counter, timestamp 160 further on every packet.
    QByteArray nextRtpPacket(const QByteArray &payload);
    // The next id of a frame handed to a door device; 64 bits never wrap.
    quint64 nextFrameId() { return m_PacketCounter++; }

    void startSound(int id);
    void stopSound();
    // The next frame of the playing sound; an empty result ends the sound.
    QByteArray readSound();

    bool m_Answered = false;
    qint64 m_AcceptTime = -1; // wall clock, ms since the epoch
    // When a leg that joined a call already answered (a transfer's target) was rung: its record
    // of not answering counts from then. 0 for the call's first legs, which start with the call.
    qint64 m_RingTime = 0; // wall clock, ms since the epoch
    qint64 m_RingTimeMono = 0;
    SipMessage m_Invite;
    QString m_CallId;
    int m_DtmfLock = -1; // DtmfType::Type, or -1 before the first digit
    // The telephone event in progress: it gives its digit at its end, or once a later event
    // shows it is over.
    struct KeyPress
    {
        // What an event is: a new code is a new key even when the sender's clock stood.
        struct Event
        {
            quint32 ssrc = 0;
            quint32 timestamp = 0; // of the segment in progress
            quint8 code = 0;
            bool operator==(const Event &o) const
            {
                return ssrc == o.ssrc && timestamp == o.timestamp && code == o.code;
            }
        };
        Event event;
        uint duration = 0; // 8000 Hz units, the latest its packets gave
        uint held = 0; // 8000 Hz units of the segments before this one, for a key held long
        bool started = false; // a packet without the end flag came
        bool ended = false;
    };
    std::optional<KeyPress> m_KeyPress;
    // The last events whose packets give nothing more: those that gave their digit and the
    // segments a long press left behind. Newest last.
    QList<KeyPress::Event> m_CountedEvents;
    quint64 m_RtpTimeout = 10; // seconds
    qint64 m_SilenceTime = 0; // monotonic ms; 0 while not counting
    AudioCodecState m_Codec;
    int m_Kind = None;
    bool m_SoundPlaying = false;
    int m_SoundId = -1;
    quint64 m_SoundPosition = 0;
    SampleStream *m_Buffer;
    RtpSequence m_Sequence;
    QString m_User;
    uchar m_AudioType = 255;
    QHostAddress m_RtpAddr;
    ushort m_RtpPort = 0;
    QHostAddress m_RtcpAddr;
    ushort m_RtcpPort = 0;
    SipSdpAction::Type m_SdpAction = SipSdpAction::Unknown;
    uchar m_VideoType = 255;
    QHostAddress m_VideoRtpAddr;
    ushort m_VideoRtpPort = 0;
    QHostAddress m_VideoRtcpAddr;
    ushort m_VideoRtcpPort = 0;
    SipSdpAction::Type m_VideoSdpAction = SipSdpAction::Unknown;
    bool m_FirstPacket = true;
    quint64 m_PacketCounter = 1; // RTP sequence in its low 16 bits
    quint32 m_Timestamp = 0;
    quint32 m_Ssrc;

signals:
    void toDevice(qulonglong id, QByteArray array);

public slots:
    void appendAudio(qulonglong id, QByteArray array);
    void setVelkVideo(QHostAddress video_rtp_addr = QHostAddress(QHostAddress::AnyIPv4),
                      ushort video_rtp_port = 0,
                      QHostAddress video_rtcp_addr = QHostAddress(QHostAddress::AnyIPv4),
                      ushort video_rtcp_port = 0);

private:
    void setVideo(uchar video_type, const QHostAddress &video_rtp_addr, ushort video_rtp_port,
                  const QHostAddress &video_rtcp_addr, ushort video_rtcp_port,
                  SipSdpAction::Type video_sdp_action);

    RtpSequence m_DeviceSequence;
};
