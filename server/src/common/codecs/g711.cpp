#include "common/codecs/g711.h"

namespace {

const qint16 ALAW_SEGMENT_END[8] = { 0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF };
const qint16 ULAW_SEGMENT_END[8] = { 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF };

int segmentOf(int value, const qint16 (&ends)[8])
{
    for (int seg = 0; seg < 8; ++seg) {
        if (ends[seg] >= value)
            return seg;
    }
    return 8;
}

qint16 pcm8ToSample(quint8 sample)
{
    return qint16((int(sample) - 128) * 256);
}

quint8 sampleToPcm8(int sample)
{
    return quint8((sample + 32768) >> 8);
}

} // namespace

quint8 alawEncode(qint16 sample)
{
    int value = sample >> 3;
    int mask = 0xD5;
    if (value < 0) {
        mask = 0x55;
        value = -value - 1;
    }
    const int seg = segmentOf(value, ALAW_SEGMENT_END);
    if (seg >= 8)
        return quint8(0x7F ^ mask);
    const int quant = seg < 2 ? (value >> 1) & 0x0F : (value >> seg) & 0x0F;
    return quint8(((seg << 4) | quant) ^ mask);
}

qint16 alawDecode(quint8 code)
{
    const int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else if (seg == 1)
        t += 0x108;
    else
        t = (t + 0x108) << (seg - 1);
    return qint16((a & 0x80) ? t : -t);
}

quint8 ulawEncode(qint16 sample)
{
    int value = sample >> 2;
    int mask = 0xFF;
    if (value < 0) {
        mask = 0x7F;
        value = -value;
    }
    value = qMin(value, 8159) + 33;
    const int seg = segmentOf(value, ULAW_SEGMENT_END);
    if (seg >= 8)
        return quint8(0x7F ^ mask);
    return quint8(((seg << 4) | ((value >> (seg + 1)) & 0x0F)) ^ mask);
}

qint16 ulawDecode(quint8 code)
{
    const int u = quint8(~code);
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return qint16((u & 0x80) ? 0x84 - t : t - 0x84);
}

quint8 alawEncode8(quint8 sample)
{
    return alawEncode(pcm8ToSample(sample));
}

quint8 ulawEncode8(quint8 sample)
{
    return ulawEncode(pcm8ToSample(sample));
}

quint8 alawDecode8(quint8 code)
{
    return sampleToPcm8(alawDecode(code));
}

quint8 ulawDecode8(quint8 code)
{
    return sampleToPcm8(ulawDecode(code));
}
