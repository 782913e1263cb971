// libFuzzer target for the SIP parser at speed: parse, read every field the engine reads,
// write the message, parse it again and require the same fields; a second write must give the
// same bytes. The slow grammar cross-check lives in sipmessage_fuzzer.
#include "core/digestchallenge.h"
#include "sip/message/dtmfrelaybody.h"
#include "sip/message/sdpbody.h"
#include "sip/message/sipmessage.h"

#include <QHostAddress>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QByteArray &detail)
{
    std::fprintf(stderr, "%s:\n", what);
    std::fwrite(detail.constData(), 1, size_t(detail.size()), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

QString addressText(const KBaseContactAddress<1> &a)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
        .arg(a.valid)
        .arg(a.displayName, a.address.user, a.address.host)
        .arg(a.address.port)
        .arg(a.address.parameters.toString(), a.parameters.toString());
}

QString hashText(const QHash<QString, QString> &table)
{
    QStringList pairs;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        pairs << it.key() + QLatin1Char('=') + it.value();
    pairs.sort();
    return pairs.join(QLatin1Char(','));
}

// What the engine reads of a received message, as one text per field.
QStringList fields(const SipMessage &m)
{
    QStringList out;
    out << QString::number(m.startLine.kind) << QString::number(m.method())
        << QString::number(m.startLine.status) << QString::number(m.responseClass())
        << m.startLine.requestUri.toString() << m.callId() << m.allow() << m.supported()
        << m.event() << m.subscriptionState() << m.contentType()
        << QString::number(m.isContentType(QStringLiteral("application/sdp")))
        << QString::number(m.hasWwwAuthenticate()) << QString::number(m.hasAuthorization())
        << QString::number(m.hasProxyAuthenticate()) << QString::number(m.hasProxyAuthorization())
        << QString::number(m.maxForwards()) << QString::number(m.expiresHeader())
        << QString::number(m.minSe()) << QString::number(m.sessionExpires())
        << QString::number(m.cseqNumber()) << QString::number(m.cseqMethod())
        << addressText(m.from()) << addressText(m.to()) << m.fromTag() << m.toTag()
        << addressText(m.referTo()) << addressText(m.diversion()) << addressText(m.contact())
        << QString::number(m.expires()) << QString::number(m.expiresOf(m.contact().address))
        << m.transactionKey() << m.branch();
    for (const KBaseContactAddress<1> &c : m.contacts())
        out << addressText(c);
    const KBaseViaAddress<1> via = m.topVia();
    out << QString::number(via.valid) << QString::number(via.transport) << via.sentBy.host
        << QString::number(via.sentBy.port) << via.sentBy.parameters.toString();
    for (SipHeader::Type challenge : { SipHeader::WWWAuthenticate, SipHeader::ProxyAuthenticate,
                                       SipHeader::Authorization }) {
        for (const QString &value : m.headerValues(challenge))
            out << hashText(parseDigestChallenge(value));
    }

    char key = 0;
    uint duration = 0;
    out << QString::number(m.dtmf(key, duration)) << QString::number(key)
        << QString::number(duration);
    uchar payload = 0, event = 0;
    QHostAddress rtp, rtcp;
    quint16 rtpPort = 0, rtcpPort = 0;
    SipSdpAction::Type direction = SipSdpAction::Inactive;
    out << QString::number(parseSdpAudio(m.body, payload, rtp, rtpPort, rtcp, rtcpPort, direction,
                                         event))
        << QString::number(payload) << rtp.toString() << QString::number(rtpPort)
        << rtcp.toString() << QString::number(rtcpPort) << QString::number(direction)
        << QString::number(event);
    QString fmtp;
    out << QString::number(parseSdpVideo(m.body, QStringLiteral("H264/90000"), fmtp, payload, rtp,
                                         rtpPort, rtcp, rtcpPort, direction))
        << fmtp << QString::number(payload) << rtp.toString() << QString::number(rtpPort);
    return out;
}

SipMessage parse(const QByteArray &bytes)
{
    return SipMessage(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.1")), 5060,
                      QHostAddress(QStringLiteral("192.0.2.2")), 5060, bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const SipMessage message = parse(bytes);
    const QStringList first = fields(message);
    if (!message.valid)
        return 0;

    const QByteArray written = message.toByteArray();
    const SipMessage again = parse(written);
    if (!again.valid)
        fail("a written message does not parse", bytes + "\n--- written:\n" + written);
    const QStringList second = fields(again);
    for (int i = 0; i < first.size() || i < second.size(); ++i) {
        if (first.value(i) != second.value(i))
            fail("a field reads otherwise after writing",
                 QStringLiteral("field %1: [%2] then [%3]")
                         .arg(i)
                         .arg(first.value(i), second.value(i))
                         .toUtf8()
                     + "\n--- input:\n" + bytes);
    }
    if (again.body != message.body)
        fail("the body changes on writing", bytes);
    if (again.toByteArray() != written)
        fail("writing is not stable", written);

    // What the engine makes of what it received.
    if (message.startLine.kind == 0) {
        (void)SipMessage(SipStatus::OK, message).toByteArray();
        if (message.method() == SipMethod::Invite)
            (void)message.makeCancel().toByteArray();
        SipMessage target(SipMethod::Ack, SipTransport::UDP);
        message.setRouteSet(target, true);
        (void)target.toByteArray();
    }
    return 0;
}
