#include "conversation/conversationcaller.h"

#include "conversation/rtpheader.h"
#include "common/sound/samplestream.h"
#include "common/sound/sound_wav/soundwav.h"

#include <QDateTime>

ConversationCaller::ConversationCaller(QObject *parent)
    : QObject(parent)
    , m_Buffer(new SampleStream(this))
    , m_RtpAddr(QHostAddress::AnyIPv4)
    , m_RtcpAddr(QHostAddress::AnyIPv4)
    , m_VideoRtpAddr(QHostAddress::AnyIPv4)
    , m_VideoRtcpAddr(QHostAddress::AnyIPv4)
    , m_Ssrc(quint32(QDateTime::currentMSecsSinceEpoch()))
{
}

ConversationCaller::~ConversationCaller()
{
    m_Codec.release();
}

void ConversationCaller::initSip(qulonglong rtp_timeout, const QString &user,
                                 const SipMessage &invite, uchar audio_type,
                                 const QHostAddress &rtp_addr, ushort rtp_port,
                                 const QHostAddress &rtcp_addr, ushort rtcp_port,
                                 SipSdpAction::Type sdp_action, uchar video_type,
                                 const QHostAddress &video_rtp_addr, ushort video_rtp_port,
                                 const QHostAddress &video_rtcp_addr, ushort video_rtcp_port,
                                 SipSdpAction::Type video_sdp_action)
{
    m_RtpTimeout = rtp_timeout;
    m_Kind = Sip;
    m_User = user;
    m_Invite = invite;
    m_AudioType = audio_type;
    m_RtpAddr = rtp_addr;
    m_RtpPort = rtp_port;
    m_RtcpAddr = rtcp_addr;
    m_RtcpPort = rtcp_port;
    m_SdpAction = sdp_action;
    setVideo(video_type, video_rtp_addr, video_rtp_port, video_rtcp_addr, video_rtcp_port,
             video_sdp_action);
    setObjectName(QStringLiteral("Sip_%1_%2").arg(user, callId()));
    m_Codec.create(audio_type);
}

void ConversationCaller::initVelk(qulonglong rtp_timeout, const QString &user,
                                  const QString &callId, SipSdpAction::Type sdp_action,
                                  uchar video_type, const QHostAddress &video_rtp_addr,
                                  ushort video_rtp_port, const QHostAddress &video_rtcp_addr,
                                  ushort video_rtcp_port, SipSdpAction::Type video_sdp_action)
{
    m_RtpTimeout = rtp_timeout;
    m_Kind = Velk;
    m_User = user;
    m_Invite = SipMessage();
    m_Invite.setHeader(SipHeader::CallID, callId);
    m_CallId = callId;
    m_AudioType = 255;
    // Null, not the any-address: a door leg has no RTP peer, yet is no leg on hold either.
    m_RtpAddr = QHostAddress(QString());
    m_RtpPort = 0;
    m_RtcpAddr = QHostAddress(QString());
    m_RtcpPort = 0;
    m_SdpAction = sdp_action;
    setVideo(video_type, video_rtp_addr, video_rtp_port, video_rtcp_addr, video_rtcp_port,
             video_sdp_action);
    setObjectName(QStringLiteral("Velk_%1_%2").arg(user, callId));
}

void ConversationCaller::setVideo(uchar video_type, const QHostAddress &video_rtp_addr,
                                  ushort video_rtp_port, const QHostAddress &video_rtcp_addr,
                                  ushort video_rtcp_port, SipSdpAction::Type video_sdp_action)
{
    m_VideoType = video_type;
    m_VideoRtpAddr = video_rtp_addr;
    m_VideoRtpPort = video_rtp_port;
    m_VideoRtcpAddr = video_rtcp_addr;
    m_VideoRtcpPort = video_rtcp_port;
    m_VideoSdpAction = video_sdp_action;
}

QString ConversationCaller::callId() const
{
    switch (m_Kind) {
    case Sip: {
        const QStringList ids = m_Invite.headerValues(SipHeader::CallID);
        return ids.size() == 1 ? ids.first() : QString();
    }
    case Velk:
        return m_CallId;
    default:
        return QString();
    }
}

bool ConversationCaller::isAnyIPv4(const QHostAddress &addr)
{
    // Compared by value: building a QHostAddress to compare with allocates, and this runs
    // for every leg on every frame.
    return addr.protocol() == QAbstractSocket::IPv4Protocol && addr.toIPv4Address() == 0;
}

bool ConversationCaller::reachable(const QHostAddress &addr, quint16 port)
{
    return port != 0 && !addr.isNull() && !isAnyIPv4(addr);
}

bool ConversationCaller::acceptsMedia() const
{
    return !isAnyIPv4(m_RtpAddr) && m_SdpAction != SipSdpAction::Inactive
        && m_SdpAction != SipSdpAction::SendOnly;
}

bool ConversationCaller::sendsMedia() const
{
    return acceptsMedia();
}

QByteArray ConversationCaller::nextRtpPacket(const QByteArray &payload)
{
    m_Timestamp += 160;
    const char ssrc[4]
        = { char(m_Ssrc), char(m_Ssrc >> 8), char(m_Ssrc >> 16), char(m_Ssrc >> 24) };
    const QByteArray packet = RtpHeader::build(m_FirstPacket, m_AudioType, quint16(m_PacketCounter),
                                               m_Timestamp, ssrc, payload);
    m_FirstPacket = false;
    ++m_PacketCounter;
    return packet;
}

void ConversationCaller::startSound(int id)
{
    m_SoundId = id;
    m_SoundPosition = 0;
    m_SoundPlaying = true;
}

void ConversationCaller::stopSound()
{
    m_SoundPlaying = false;
    m_SoundPosition = 0;
}

QByteArray ConversationCaller::readSound()
{
    QByteArray frame;
    SoundWAV::readFrame16(m_SoundId, frame, m_SoundPosition);
    if (frame.isEmpty()) {
        m_SoundPlaying = false;
        m_SoundPosition = 0;
    }
    return frame;
}

void ConversationCaller::appendAudio(qulonglong id, QByteArray array)
{
    // Devices may count their frames in 16 bits; extending keeps a wrap from muting them.
    m_Buffer->push(m_DeviceSequence.extend(0, quint16(id)), array);
}

void ConversationCaller::setVelkVideo(QHostAddress video_rtp_addr, ushort video_rtp_port,
                                      QHostAddress video_rtcp_addr, ushort video_rtcp_port)
{
    setVideo(m_VideoType, video_rtp_addr, video_rtp_port, video_rtcp_addr, video_rtcp_port,
             SipSdpAction::SendRecv);
}
