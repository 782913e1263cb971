#include "sip/message/sdpbody.h"

#include "common/codecs/audiocodec.h"
#include "sip/message/sipcodectable.h"

#include <QList>
#include <QStringList>
#include <QVector>

namespace {

const uchar kNone = 255;

QStringList bodyLines(const QByteArray &body)
{
    const int nul = body.indexOf('\0');
    QString text = QString::fromUtf8(nul < 0 ? body : body.left(nul));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
}

// The value of a "<prefix>=<value>" line when it has exactly one "=".
bool lineValue(const QString &line, const QString &prefix, QString &value)
{
    if (!line.startsWith(prefix))
        return false;
    const QStringList parts = line.split(QLatin1Char('='), Qt::KeepEmptyParts);
    if (parts.size() != 2)
        return false;
    value = parts.at(1);
    return true;
}

// An RTP payload type is 0 to 127; anything else names no format.
int payloadNumber(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    return ok && value <= 127 ? int(value) : -1;
}

quint16 portNumber(const QString &text, bool *ok)
{
    return text.toUShort(ok);
}

// RTCP goes one port above RTP; the top port has none above it and keeps its own.
quint16 rtcpPortOf(quint16 rtpPort)
{
    if (rtpPort == 0 || rtpPort == 65535)
        return rtpPort;
    return rtpPort + 1;
}

struct MediaLine
{
    bool valid = false;
    QString media;
    QString transport;
    quint16 port = 0;
    QStringList formats;
};

// "m=<media> <port> <proto> <fmt> ..." split at blanks, empty fields kept.
MediaLine mediaLine(const QString &line)
{
    MediaLine result;
    QString value;
    if (!lineValue(line, QStringLiteral("m="), value))
        return result;
    const QStringList fields = value.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (fields.size() <= 2)
        return result;
    result.valid = true;
    result.media = fields.at(0);
    result.port = portNumber(fields.at(1), nullptr);
    result.transport = fields.at(2);
    result.formats = fields.mid(3);
    return result;
}

bool isRtpMedia(const MediaLine &line, const QString &media)
{
    return line.media.compare(media, Qt::CaseInsensitive) == 0
        && line.transport.compare(QLatin1String("RTP/AVP"), Qt::CaseInsensitive) == 0;
}

// "c=IN IP4 <address>[/ttl]": only a literal IPv4 address is usable; names are not resolved.
bool connectionAddress(const QString &line, QHostAddress &address)
{
    QString value;
    if (!lineValue(line, QStringLiteral("c="), value))
        return false;
    const QStringList fields = value.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (fields.size() != 3 || fields.at(0).compare(QLatin1String("IN"), Qt::CaseInsensitive) != 0
        || fields.at(1).compare(QLatin1String("IP4"), Qt::CaseInsensitive) != 0)
        return false;
    const QHostAddress parsed(fields.at(2).section(QLatin1Char('/'), 0, 0));
    if (parsed.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    address = parsed;
    return true;
}

// A direction attribute line ("a=sendonly" and the three others), -1 for any other line.
SipSdpAction::Type directionOf(const QString &line)
{
    if (!line.startsWith(QLatin1String("a=")))
        return SipSdpAction::Unknown;
    return sdpActionType(line.mid(2).trimmed());
}

// The payload of "a=rtpmap:<payload> <encoding>" when the encoding equals the wanted text.
int rtpmapPayload(const QString &line, const QString &encoding)
{
    if (!line.startsWith(QLatin1String("a=rtpmap:")))
        return -1;
    const QStringList parts = line.mid(9).split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (parts.size() != 2 || parts.at(1).compare(encoding, Qt::CaseInsensitive) != 0)
        return -1;
    return payloadNumber(parts.at(0));
}

// "a=rtcp:<port> IN IP4 <address>"; the short form without address is not taken.
void readRtcp(const QString &line, quint16 &port, QHostAddress &address)
{
    if (!line.startsWith(QLatin1String("a=rtcp:")))
        return;
    const QStringList fields = line.mid(7).split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (fields.size() != 4 || fields.at(1) != QLatin1String("IN")
        || fields.at(2) != QLatin1String("IP4"))
        return;
    bool ok = false;
    const quint16 value = portNumber(fields.at(0), &ok);
    const QHostAddress parsed(fields.at(3));
    if (!ok || value == 0 || parsed.protocol() != QAbstractSocket::IPv4Protocol)
        return;
    port = value;
    address = parsed;
}

// The first format of the list that is an enabled audio codec; telephone events carry no audio.
int firstEnabledCodec(const QStringList &formats)
{
    const QList<AudioCodec::Type> enabled = AudioCodec::codecs();
    for (const QString &format : formats) {
        const int codec = codecFromPayload(payloadNumber(format));
        if (codec >= 0 && codec != AudioCodec::TelephoneEvent
            && enabled.contains(AudioCodec::Type(codec)))
            return codecPayload(codec);
    }
    return kNone;
}

enum class Section { Session, Wanted, Other };

} // namespace

bool parseSdpAudio(const QByteArray &body, uchar &payload, QHostAddress &rtpAddress,
                   quint16 &rtpPort, QHostAddress &rtcpAddress, quint16 &rtcpPort,
                   SipSdpAction::Type &direction, uchar &telephoneEvent)
{
    payload = kNone;
    rtpAddress = QHostAddress(QHostAddress::AnyIPv4);
    rtcpAddress = QHostAddress(QHostAddress::AnyIPv4);
    rtpPort = 0;
    rtcpPort = 0;
    direction = SipSdpAction::Unknown;
    telephoneEvent = kNone;

    // Session-level values hold for the audio stream unless its own section overrides them.
    Section section = Section::Session;
    bool audioFound = false;
    bool sessionAddressFound = false;
    bool audioAddressFound = false;
    QHostAddress sessionAddress;
    QHostAddress audioAddress;
    SipSdpAction::Type sessionDirection = SipSdpAction::Unknown;
    QHostAddress rtcpOverride;
    quint16 rtcpPortOverride = 0;

    for (const QString &line : bodyLines(body)) {
        const MediaLine media = mediaLine(line);
        if (media.valid) {
            // Only the first audio stream is read: a later one (or a video stream) must not
            // take over its port, codec or attributes.
            section = Section::Other;
            if (!audioFound && isRtpMedia(media, QStringLiteral("audio"))) {
                section = Section::Wanted;
                audioFound = true;
                rtpPort = media.port;
                payload = uchar(firstEnabledCodec(media.formats));
            }
            continue;
        }
        if (line.startsWith(QLatin1String("m=")))
            section = Section::Other;
        if (section == Section::Other)
            continue;

        QHostAddress address;
        if (connectionAddress(line, address)) {
            if (section == Section::Session) {
                sessionAddress = address;
                sessionAddressFound = true;
            } else {
                audioAddress = address;
                audioAddressFound = true;
            }
            continue;
        }
        const SipSdpAction::Type lineDirection = directionOf(line);
        if (lineDirection != SipSdpAction::Unknown) {
            (section == Section::Session ? sessionDirection : direction) = lineDirection;
            continue;
        }
        if (section != Section::Wanted)
            continue;
        readRtcp(line, rtcpPortOverride, rtcpOverride);
        if (telephoneEvent == kNone) {
            const int event = rtpmapPayload(line, QStringLiteral("telephone-event/8000"));
            if (event >= 0)
                telephoneEvent = uchar(event);
        }
    }

    const bool addressFound = audioAddressFound || sessionAddressFound;
    if (addressFound) {
        rtpAddress = audioAddressFound ? audioAddress : sessionAddress;
        rtcpAddress = rtpAddress;
    }
    if (audioFound)
        rtcpPort = rtcpPortOf(rtpPort);
    if (rtcpPortOverride != 0) {
        rtcpPort = rtcpPortOverride;
        rtcpAddress = rtcpOverride;
    }
    if (direction == SipSdpAction::Unknown)
        direction = sessionDirection;
    if (direction == SipSdpAction::Unknown)
        direction = SipSdpAction::SendRecv;
    return audioFound && addressFound && payload != kNone;
}

bool parseSdpVideo(const QByteArray &body, const QString &rtpmap, QString &fmtp, uchar &payload,
                   QHostAddress &rtpAddress, quint16 &rtpPort, QHostAddress &rtcpAddress,
                   quint16 &rtcpPort, SipSdpAction::Type &direction)
{
    payload = kNone;
    rtpAddress = QHostAddress(QHostAddress::AnyIPv4);
    rtcpAddress = QHostAddress(QHostAddress::AnyIPv4);
    rtpPort = 0;
    rtcpPort = 0;
    direction = SipSdpAction::Unknown;
    fmtp.clear();

    Section section = Section::Session;
    int counter = 0;
    bool rtpmapFound = false;
    SipSdpAction::Type sessionDirection = SipSdpAction::Unknown;

    for (const QString &line : bodyLines(body)) {
        if (line.startsWith(QLatin1String("m="))) {
            const MediaLine media = mediaLine(line);
            if (media.valid) {
                section = Section::Other;
                if (isRtpMedia(media, QStringLiteral("video"))) {
                    section = Section::Wanted;
                    rtpPort = media.port;
                    rtcpPort = rtcpPortOf(rtpPort);
                    ++counter;
                }
            } else if (section == Section::Session) {
                section = Section::Other;
            }
            continue;
        }
        if (section == Section::Other)
            continue;
        QHostAddress address;
        if (connectionAddress(line, address)) {
            rtpAddress = address;
            rtcpAddress = address;
            ++counter;
            continue;
        }
        const SipSdpAction::Type lineDirection = directionOf(line);
        if (lineDirection != SipSdpAction::Unknown) {
            SipSdpAction::Type &target = section == Section::Session ? sessionDirection : direction;
            if (target == SipSdpAction::Unknown)
                target = lineDirection;
            continue;
        }
        if (section != Section::Wanted)
            continue;
        if (line.startsWith(QLatin1String("a=rtpmap:"))) {
            const int number = rtpmapPayload(line, rtpmap);
            rtpmapFound = number >= 0;
            if (rtpmapFound) {
                payload = uchar(number);
                ++counter;
            }
        } else if (rtpmapFound && line.startsWith(QLatin1String("a=fmtp:"))) {
            const int blank = line.indexOf(QLatin1Char(' '));
            fmtp = blank < 0 ? QString() : line.mid(blank + 1);
            ++counter;
        }
    }
    if (direction == SipSdpAction::Unknown)
        direction = sessionDirection;
    if (direction == SipSdpAction::Unknown)
        direction = SipSdpAction::SendRecv;
    return counter >= 4;
}
