// What arrives on the four sockets: audio RTP into the legs' buffers, telephone events as
// digits, RTCP read and dropped, and camera video with its RTCP relayed between legs.
#include "conversation/conversationobject.h"

#include "common/codecs/audiocodec.h"
#include "common/codecs/dtmfevent.h"
#include "common/sound/samplestream.h"
#include "conversation/conversationcaller.h"
#include "conversation/rtpheader.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <utility>

namespace {

const quint8 TelephoneEventPayload = 101;
const quint8 GsmPayload = 3;
const int GsmFrameBytes = 33;
const int G711FrameBytes = 160;
const int AudioMinimumLength = 16;
const quint8 HighestEvent = 16;
const quint32 MaximumDuration = 0xFFFF;
// Enough for a copy of a press to come late behind the presses keyed after it.
const int CountedEventsKept = 8;

} // namespace

ConversationCaller *ConversationObject::legFromRtp(const QHostAddress &addr, quint16 port) const
{
    for (ConversationCaller *c : m_Legs) {
        if (c && c->m_RtpPort == port && c->m_RtpAddr == addr)
            return c;
    }
    return nullptr;
}

void ConversationObject::audioRtpDatagrams()
{
    SocketDrain::Datagram datagram;
    while (m_Drain.next(m_AudioRtpSocket, &datagram)) {
        const QByteArray &data = datagram.data;
        ConversationCaller *from = legFromRtp(datagram.sender, datagram.port);
        if (!from || data.size() < AudioMinimumLength)
            continue;
        if (from->m_SdpAction != SipSdpAction::SendRecv
            && from->m_SdpAction != SipSdpAction::SendOnly)
            continue;
        RtpHeader header;
        if (!RtpHeader::parse(data, &header))
            continue;
        // A view into the datagram, not a copy: it is decoded at once.
        const QByteArray payload = QByteArray::fromRawData(data.constData() + header.payloadOffset,
                                                           header.payloadLength);
        if (header.payloadType == TelephoneEventPayload) {
            handleTelephoneEvent(from, header.ssrc, header.timestamp, payload);
            continue;
        }
        if (header.payloadType != from->m_AudioType)
            continue;
        const bool sized = header.payloadType == GsmPayload ? payload.size() >= GsmFrameBytes
                                                            : payload.size() == G711FrameBytes;
        if (!sized)
            continue;
        from->m_Buffer->push(from->m_Sequence.extend(header.ssrc, header.sequence),
                             AudioCodec::decode(header.payloadType, payload, &from->m_Codec));
    }
}

void ConversationObject::handleTelephoneEvent(ConversationCaller *from, quint32 ssrc,
                                              quint32 timestamp, const QByteArray &payload)
{
    if (payload.size() != 4)
        return;
    const auto *p = reinterpret_cast<const uchar *>(payload.constData());
    const quint8 code = p[0];
    // Codes past 'f' name no key; passing them on would dial a digit nobody pressed.
    if (code > HighestEvent)
        return;
    const bool end = p[1] & 0x80;
    const uint duration = uint((p[2] << 8) | p[3]);
    using KeyPress = ConversationCaller::KeyPress;
    // Every packet of an event carries its SSRC, timestamp and code: one that arrives after the
    // event's digit was given, reordered or repeated, is part of the same key press.
    const KeyPress::Event event { ssrc, timestamp, code };
    if (from->m_CountedEvents.contains(event))
        return;
    const auto remember = [from](const KeyPress::Event &counted) {
        from->m_CountedEvents.append(counted);
        if (from->m_CountedEvents.size() > CountedEventsKept)
            from->m_CountedEvents.removeFirst();
    };
    const auto giveDigit = [this, from, &remember](const KeyPress &press) {
        remember(press.event);
        onAppendSipInfo(DtmfType::Rfc2833, m_Legs.key(from), from->m_User,
                        uchar(dtmfEventChar(press.event.code)), (press.held + press.duration) >> 3);
    };
    std::optional<KeyPress> &press = from->m_KeyPress;
    std::optional<KeyPress> over;
    if (press && !(press->event == event)) {
        const bool sameSource = press->event.ssrc == ssrc;
        const quint32 after = timestamp - press->event.timestamp;
        // A key held longer than a duration can say goes on in a new segment 0xFFFF later,
        // even when the last packets of the segment before were lost.
        const bool nextSegment
            = sameSource && press->event.code == code && !press->ended && after == MaximumDuration;
        if (nextSegment) {
            remember(press->event);
            press->held += after;
            press->event.timestamp = timestamp;
            press->duration = 0;
        } else {
            // In serial order, so that it holds across the timestamp's wrap.
            if (sameSource && qint32(after) < 0) {
                // A press that the one in progress overtook is over already.
                if (!end)
                    giveDigit({ event, duration, 0, true, false });
                return;
            }
            // A later press, another key or another source: the one in progress is over even
            // when its end packets were lost. One never seen to start gives nothing.
            if (press->started)
                over = press;
            press.reset();
        }
    }
    if (!press)
        press = KeyPress { event };
    if (end) {
        press->ended = true;
        press->duration = duration;
    } else {
        press->started = true;
        if (!press->ended)
            press->duration = duration;
    }
    std::optional<KeyPress> done;
    if (press->started && press->ended)
        done = std::exchange(press, std::nullopt);
    if (over)
        giveDigit(*over);
    if (done)
        giveDigit(*done);
}

void ConversationObject::audioRtcpDatagrams()
{
    // Read to keep the socket drained; RTCP from the legs is not used.
    SocketDrain::Datagram datagram;
    while (m_Drain.next(m_AudioRtcpSocket, &datagram)) { }
}

bool ConversationObject::isOwnEndpoint(const QHostAddress &addr, quint16 port) const
{
    if (!m_OwnPorts.contains(port))
        return false;
    return addr.isLoopback() || addr == QHostAddress(QHostAddress::Any)
        || m_OwnAddresses.contains(addr);
}

void ConversationObject::videoRtpDatagrams()
{
    relayVideo(m_VideoRtpSocket, false);
}

void ConversationObject::videoRtcpDatagrams()
{
    relayVideo(m_VideoRtcpSocket, true);
}

void ConversationObject::relayVideo(QUdpSocket *socket, bool rtcp)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        const QHostAddress addr = datagram.senderAddress();
        const quint16 port = quint16(datagram.senderPort());
        QByteArray data = datagram.data();
        // Too short to be RTP: relaying it would mean rewriting bytes it does not have.
        if (!rtcp && data.size() < RtpHeader::MinimumLength)
            continue;
        ConversationCaller *from = nullptr;
        for (ConversationCaller *c : m_Legs) {
            if (!c)
                continue;
            const bool match = rtcp ? (c->m_VideoRtcpPort == port && c->m_VideoRtcpAddr == addr)
                                    : (c->m_VideoRtpPort == port && c->m_VideoRtpAddr == addr);
            if (match) {
                from = c;
                break;
            }
        }
        if (!from)
            continue;
        for (ConversationCaller *to : m_Legs) {
            if (!to || to == from)
                continue;
            if (!rtcp && to->m_Kind != ConversationCaller::Sip)
                continue;
            const QHostAddress toAddr = rtcp ? to->m_VideoRtcpAddr : to->m_VideoRtpAddr;
            const quint16 toPort = rtcp ? to->m_VideoRtcpPort : to->m_VideoRtpPort;
            // A peer pointing at our own ports would make the datagram circle forever.
            if (!ConversationCaller::reachable(toAddr, toPort) || isOwnEndpoint(toAddr, toPort))
                continue;
            if (!rtcp)
                data[1] = char((uchar(data[1]) & 0x80) | (to->m_VideoType & 0x7F));
            socket->writeDatagram(data, toAddr, toPort);
        }
    }
}

void ConversationObject::onAppendSipInfo(DtmfType::Type dtmfType, QString callId,
                                         QString fromUserName, uchar event, uint duration)
{
    const QMap<QString, ConversationCaller *> legs = m_Legs;
    for (auto it = legs.cbegin(); it != legs.cend(); ++it) {
        ConversationCaller *c = it.value();
        if (!c || it.key() == callId || !c->m_Answered)
            continue;
        if (c->m_DtmfLock == DtmfType::None)
            c->m_DtmfLock = dtmfType;
        if (c->m_DtmfLock == dtmfType)
            emit sendSipInfo(objectName(), c->m_Invite, fromUserName, c->m_User, event, duration);
    }
}
