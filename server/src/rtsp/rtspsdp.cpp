#include "rtsp/rtspmessage.h"

namespace {

// RTP payload numbers are seven bits; anything above is no payload at all.
const uint kMaxPayload = 127;

} // namespace

bool RtspMessage::parseVideoSdp(const QByteArray &sdp, uchar &codec, QString &codec_info,
                                QString &codec_fmtp, QString &control)
{
    codec = 255;
    codec_info.clear();
    const int nul = sdp.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? sdp : sdp.left(nul));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    const QStringList lines = text.split(QLatin1Char('\n'));

    bool inVideo = false;
    int taken = 0;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("m="))) {
            inVideo = false;
            const QStringList halves = line.split(QLatin1Char('='));
            if (halves.size() != 2)
                continue;
            const QStringList fields = halves.at(1).split(QLatin1Char(' '));
            if (fields.size() < 4 || codec != 255
                || fields.at(0).compare(QLatin1String("video"), Qt::CaseInsensitive) != 0
                || fields.at(2).compare(QLatin1String("RTP/AVP"), Qt::CaseInsensitive) != 0)
                continue;
            bool ok = false;
            const uint payload = fields.at(3).toUInt(&ok);
            if (ok && payload > kMaxPayload)
                continue;
            codec = uchar(payload);
            inVideo = ok;
            continue;
        }
        if (!inVideo)
            continue;
        if (line.startsWith(QLatin1String("a=rtpmap:"))) {
            const QStringList fields = line.mid(9).split(QLatin1Char(' '));
            if (fields.size() >= 2 && fields.at(0) == QString::number(codec)) {
                codec_info = fields.at(1);
                ++taken;
            }
        } else if (line.startsWith(QLatin1String("a=fmtp:"))) {
            const int blank = line.indexOf(QLatin1Char(' '));
            codec_fmtp = blank < 0 ? line : line.mid(blank + 1);
            ++taken;
        } else if (line.startsWith(QLatin1String("a=control:"))) {
            control = line.mid(line.indexOf(QLatin1Char(':')) + 1);
            ++taken;
        }
    }
    return taken >= 3;
}

void RtspMessage::setTransport(quint16 rtpPort, quint16 rtcpPort)
{
    setHeader(Transport,
              QStringLiteral("RTP/AVP;unicast;client_port=%1-%2").arg(rtpPort).arg(rtcpPort));
}
