#include "conversation/rtpheader.h"

namespace {

quint16 be16(const uchar *p)
{
    return quint16((p[0] << 8) | p[1]);
}

quint32 be32(const uchar *p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

} // namespace

bool RtpHeader::parse(const QByteArray &datagram, RtpHeader *header)
{
    const int length = datagram.size();
    if (length < MinimumLength || !header)
        return false;
    const auto *p = reinterpret_cast<const uchar *>(datagram.constData());
    int offset = MinimumLength + 4 * (p[0] & 0x0F);
    if (offset > length)
        return false;
    if (p[0] & 0x10) {
        if (offset + 4 > length)
            return false;
        offset += 4 + 4 * be16(p + offset + 2);
        if (offset > length)
            return false;
    }
    int end = length;
    if (p[0] & 0x20) {
        const int padding = p[length - 1];
        // The count includes its own byte, so 0 is as malformed as a count past the header.
        if (padding == 0 || end - padding < offset)
            return false;
        end -= padding;
    }
    header->marker = (p[1] & 0x80) != 0;
    header->payloadType = p[1] & 0x7F;
    header->sequence = be16(p + 2);
    header->timestamp = be32(p + 4);
    header->ssrc = be32(p + 8);
    header->payloadOffset = offset;
    header->payloadLength = end - offset;
    return true;
}

QByteArray RtpHeader::build(bool marker, quint8 payloadType, quint16 sequence, quint32 timestamp,
                            const char ssrc[4], const QByteArray &payload)
{
    QByteArray packet(MinimumLength + payload.size(), Qt::Uninitialized);
    auto *p = reinterpret_cast<uchar *>(packet.data());
    p[0] = 0x80;
    p[1] = uchar((marker ? 0x80 : 0) | (payloadType & 0x7F));
    p[2] = uchar(sequence >> 8);
    p[3] = uchar(sequence);
    p[4] = uchar(timestamp >> 24);
    p[5] = uchar(timestamp >> 16);
    p[6] = uchar(timestamp >> 8);
    p[7] = uchar(timestamp);
    for (int i = 0; i < 4; ++i)
        p[8 + i] = uchar(ssrc[i]);
    if (!payload.isEmpty())
        memcpy(p + MinimumLength, payload.constData(), size_t(payload.size()));
    return packet;
}
