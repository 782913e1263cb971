#include "sip/message/sdpbody.h"

#include "common/codecs/audiocodec.h"
#include "sip/message/sipcodectable.h"
#include "sip/message/sipconstants.h"

#include <QStringList>

namespace {

const quint16 kOffer = 65535;
const uchar kNone = 255;

// A direction without a text of its own is written as the default, sendrecv.
QString directionLine(const SipSdpAction::Type &direction)
{
    const QString name = sdpActionName(direction);
    return QStringLiteral("a=%1").arg(name.isEmpty() ? sdpActionName(SipSdpAction::SendRecv)
                                                     : name);
}

// Texts from peers (the camera's rtpmap and fmtp) end at a line break: one value, one line.
QString oneLine(const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\r') || text.at(i) == QLatin1Char('\n'))
            return text.left(i);
    }
    return text;
}

QString rtpmapLine(int payload, const QString &rtpmap)
{
    return QStringLiteral("a=rtpmap:%1 %2").arg(payload).arg(rtpmap);
}

QString telephoneEventFmtp()
{
    return QStringLiteral("a=fmtp:%1 0-16").arg(codecPayload(AudioCodec::TelephoneEvent));
}

void appendOffer(QStringList &lines, const quint16 &rtpPort, const QString &rtcpLine)
{
    // One snapshot: a settings save meanwhile must not mix two lists in one offer.
    const QList<AudioCodec::Type> codecs = AudioCodec::codecs();
    QStringList payloads;
    for (const AudioCodec::Type codec : codecs)
        payloads << QString::number(codecPayload(codec));
    lines << QStringLiteral("m=audio %1 RTP/AVP %2").arg(rtpPort).arg(payloads.join(' '));
    lines << rtcpLine;
    for (const AudioCodec::Type codec : codecs) {
        lines << rtpmapLine(codecPayload(codec), codecRtpmap(codec));
        if (codec == AudioCodec::TelephoneEvent)
            lines << telephoneEventFmtp();
    }
}

void appendAnswer(QStringList &lines, const quint16 &rtpPort, const QString &rtcpLine,
                  const quint16 &audioPayload, const uchar &telephoneEvent)
{
    const int eventPayload = codecPayload(AudioCodec::TelephoneEvent);
    QString media = QStringLiteral("m=audio %1 RTP/AVP %2").arg(rtpPort).arg(audioPayload);
    if (telephoneEvent != kNone)
        media += QStringLiteral(" %1").arg(eventPayload);
    lines << media << rtcpLine;
    const int codec = codecFromPayload(audioPayload & 0xFF);
    // A payload the table does not know has no rtpmap text; "a=rtpmap:255 " would be wrong.
    if (codec >= 0)
        lines << rtpmapLine(codecPayload(codec), codecRtpmap(codec));
    if (telephoneEvent != kNone) {
        lines << rtpmapLine(eventPayload, codecRtpmap(AudioCodec::TelephoneEvent));
        lines << telephoneEventFmtp();
    }
}

} // namespace

QByteArray buildSdp(const QString &address, const quint16 &audioRtpPort, const QString &rtcpAddress,
                    const quint16 &audioRtcpPort, const SipSdpAction::Type &audioDirection,
                    const quint16 &audioPayload, const uchar &telephoneEvent, const bool &video,
                    const uchar &videoPayload, const QString &videoRtpmap, const QString &videoFmtp,
                    const quint16 &videoRtpPort, const quint16 &videoRtcpPort,
                    const SipSdpAction::Type &videoDirection)
{
    const QString host = oneLine(address);
    const QString rtcpHost = oneLine(rtcpAddress);
    QStringList lines;
    lines << QStringLiteral("v=0") << QStringLiteral("o=- 0 0 IN IP4 %1").arg(host)
          << QStringLiteral("s=session") << QStringLiteral("c=IN IP4 %1").arg(host)
          << QStringLiteral("t=%1 %2").arg(0).arg(0);

    const QString audioRtcp
        = QStringLiteral("a=rtcp:%1 IN IP4 %2").arg(audioRtcpPort).arg(rtcpHost);
    if (audioPayload == kOffer)
        appendOffer(lines, audioRtpPort, audioRtcp);
    else
        appendAnswer(lines, audioRtpPort, audioRtcp, audioPayload, telephoneEvent);
    lines << directionLine(audioDirection);

    if (video && videoPayload != kNone) {
        lines << QStringLiteral("m=video %1 RTP/AVP %2").arg(videoRtpPort).arg(videoPayload)
              << QStringLiteral("a=rtcp:%1 IN IP4 %2").arg(videoRtcpPort).arg(rtcpHost)
              << rtpmapLine(videoPayload, oneLine(videoRtpmap))
              << QStringLiteral("a=fmtp:%1 %2").arg(videoPayload).arg(oneLine(videoFmtp))
              << directionLine(videoDirection);
    }
    return (lines.join(ENDL) + ENDL).toUtf8();
}
