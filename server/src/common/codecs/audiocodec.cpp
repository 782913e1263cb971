#include "common/codecs/audiocodec.h"

#include "common/codecs/audiocodecstate.h"
#include "common/codecs/g711tables.h"

#include <QVarLengthArray>

#include <QtEndian>
#include <algorithm>

#include <spandsp/telephony.h>
// telephony.h must come first: the codec headers use its SPAN_DECLARE.
#include <spandsp/g722.h>
#include <spandsp/gsm0610.h>

namespace {

const quint8 PAYLOAD_PCMU = 0;
const quint8 PAYLOAD_GSM = 3;
const quint8 PAYLOAD_PCMA = 8;
const quint8 PAYLOAD_G722 = 9;

const int GSM_FRAME_SAMPLES = 160;
const int GSM_FRAME_BYTES = 33;

using SampleBuffer = QVarLengthArray<int16_t, GSM_FRAME_SAMPLES>;

qint16 sampleAt(const char *data, int index)
{
    return qFromLittleEndian<qint16>(data + 2 * index);
}

// The library takes host-order samples at their natural alignment; a payload cut out of a
// datagram may be neither, so such input is copied first.
const int16_t *hostSamples(const QByteArray &frame, int count, SampleBuffer &copy)
{
    const char *data = frame.constData();
    if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN && quintptr(data) % alignof(int16_t) == 0)
        return reinterpret_cast<const int16_t *>(data);
    copy.resize(count);
    for (int i = 0; i < count; ++i)
        copy[i] = sampleAt(data, i);
    return copy.constData();
}

// Turns host-order samples written by the library into little-endian bytes.
void samplesToLittleEndian(QByteArray &pcm)
{
    if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN)
        return;
    int16_t *samples = reinterpret_cast<int16_t *>(pcm.data());
    for (int i = 0; i < pcm.size() / 2; ++i)
        qToLittleEndian<qint16>(samples[i], samples + i);
}

template<typename Encode> QByteArray encodeSamples(const QByteArray &frame, Encode encodeOne)
{
    const int count = frame.size() / 2;
    QByteArray out(count, Qt::Uninitialized);
    const char *in = frame.constData();
    char *dst = out.data();
    for (int i = 0; i < count; ++i)
        dst[i] = char(encodeOne(sampleAt(in, i)));
    return out;
}

template<typename Decode> QByteArray decodeSamples(const QByteArray &codes, Decode decodeOne)
{
    const int count = codes.size();
    QByteArray out(2 * count, Qt::Uninitialized);
    const uchar *in = reinterpret_cast<const uchar *>(codes.constData());
    char *dst = out.data();
    for (int i = 0; i < count; ++i)
        qToLittleEndian<qint16>(decodeOne(in[i]), dst + 2 * i);
    return out;
}

QByteArray mapBytes(const QByteArray &data, const quint8 (&table)[256])
{
    QByteArray out(data.size(), Qt::Uninitialized);
    const uchar *in = reinterpret_cast<const uchar *>(data.constData());
    char *dst = out.data();
    for (int i = 0; i < data.size(); ++i)
        dst[i] = char(table[in[i]]);
    return out;
}

bool hasState(const AudioCodecState *state, quint8 payload, bool encoder)
{
    // A state made for another payload holds handles of another library type.
    return state && state->payload() == payload && (encoder ? state->encoder() : state->decoder());
}

// A last block shorter than 160 samples is padded with silence rather than read past the end.
QByteArray encodeGsm(const QByteArray &frame, gsm0610_state_t *gsm)
{
    const int count = frame.size() / 2;
    const int whole = count - count % GSM_FRAME_SAMPLES;
    const int blocks = (count + GSM_FRAME_SAMPLES - 1) / GSM_FRAME_SAMPLES;
    QByteArray out(blocks * GSM_FRAME_BYTES, Qt::Uninitialized);
    uint8_t *dst = reinterpret_cast<uint8_t *>(out.data());
    SampleBuffer copy;
    const int16_t *samples = hostSamples(frame, count, copy);
    int written = whole > 0 ? gsm0610_encode(gsm, dst, samples, whole) : 0;
    if (whole < count) {
        int16_t last[GSM_FRAME_SAMPLES] = {};
        std::copy(samples + whole, samples + count, last);
        written += gsm0610_encode(gsm, dst + written, last, GSM_FRAME_SAMPLES);
    }
    out.resize(written);
    return out;
}

// Only the first 33-byte frame is decoded: the result holds one 20 ms frame.
QByteArray decodeGsm(const QByteArray &data, gsm0610_state_t *gsm)
{
    if (data.size() < GSM_FRAME_BYTES)
        return QByteArray();
    QByteArray out(2 * GSM_FRAME_SAMPLES, '\0');
    gsm0610_decode(gsm, reinterpret_cast<int16_t *>(out.data()),
                   reinterpret_cast<const uint8_t *>(data.constData()), GSM_FRAME_BYTES);
    samplesToLittleEndian(out);
    return out;
}

QByteArray encodeG722(const QByteArray &frame, g722_encode_state_t *g722)
{
    const int count = frame.size() / 2;
    QByteArray out(count, Qt::Uninitialized);
    SampleBuffer copy;
    const int16_t *samples = hostSamples(frame, count, copy);
    const int written = g722_encode(g722, reinterpret_cast<uint8_t *>(out.data()), samples, count);
    out.resize(qMax(written, 0));
    return out;
}

QByteArray decodeG722(const QByteArray &data, g722_decode_state_t *g722)
{
    QByteArray out(2 * data.size(), Qt::Uninitialized);
    const int samples
        = g722_decode(g722, reinterpret_cast<int16_t *>(out.data()),
                      reinterpret_cast<const uint8_t *>(data.constData()), data.size());
    out.resize(2 * qMax(samples, 0));
    samplesToLittleEndian(out);
    return out;
}

} // namespace

QByteArray AudioCodec::pcm8To16(const QByteArray &data)
{
    return decodeSamples(data, [](uchar b) { return qint16((b << 8) - 32768); });
}

QByteArray AudioCodec::pcm16To8(const QByteArray &data)
{
    return encodeSamples(data, [](qint16 s) { return uchar((s + 32768) >> 8); });
}

QByteArray AudioCodec::pcm16To8Raw(const qint16 *samples, int byteCount)
{
    if (!samples || byteCount < 2)
        return QByteArray();
    return pcm16To8(QByteArray::fromRawData(reinterpret_cast<const char *>(samples), byteCount));
}

QByteArray AudioCodec::mix16(const QByteArray &a, const QByteArray &b)
{
    if (a.isEmpty() || a.size() != b.size())
        return QByteArray();
    QByteArray out(a.size(), '\0');
    const char *pa = a.constData();
    const char *pb = b.constData();
    char *dst = out.data();
    for (int i = 0; i < a.size() / 2; ++i) {
        const int sum = int(sampleAt(pa, i)) + int(sampleAt(pb, i));
        qToLittleEndian<qint16>(qint16(sum / 2), dst + 2 * i);
    }
    return out;
}

QByteArray AudioCodec::pcm8ToG711(quint8 payload, const QByteArray &data)
{
    if (payload == PAYLOAD_PCMU)
        return mapBytes(data, g711Tables().ulawByPcm8);
    if (payload == PAYLOAD_PCMA)
        return mapBytes(data, g711Tables().alawByPcm8);
    return data;
}

QByteArray AudioCodec::g711ToPcm8(quint8 payload, const QByteArray &data)
{
    if (payload == PAYLOAD_PCMU)
        return mapBytes(data, g711Tables().ulawToPcm8);
    if (payload == PAYLOAD_PCMA)
        return mapBytes(data, g711Tables().alawToPcm8);
    return data;
}

QByteArray AudioCodec::encode(quint8 payload, const QByteArray &frame, AudioCodecState *state)
{
    switch (payload) {
    case PAYLOAD_PCMU: {
        const G711Tables &g711 = g711Tables();
        return encodeSamples(frame, [&g711](qint16 s) { return g711.ulaw(s); });
    }
    case PAYLOAD_PCMA: {
        const G711Tables &g711 = g711Tables();
        return encodeSamples(frame, [&g711](qint16 s) { return g711.alaw(s); });
    }
    case PAYLOAD_GSM:
        if (!hasState(state, payload, true))
            return QByteArray();
        return encodeGsm(frame, static_cast<gsm0610_state_t *>(state->encoder()));
    case PAYLOAD_G722:
        if (!hasState(state, payload, true))
            return QByteArray();
        return encodeG722(frame, static_cast<g722_encode_state_t *>(state->encoder()));
    default:
        return QByteArray();
    }
}

QByteArray AudioCodec::decode(quint8 payload, const QByteArray &data, AudioCodecState *state)
{
    switch (payload) {
    case PAYLOAD_PCMU: {
        const qint16 *table = g711Tables().ulawToSample;
        return decodeSamples(data, [table](uchar code) { return table[code]; });
    }
    case PAYLOAD_PCMA: {
        const qint16 *table = g711Tables().alawToSample;
        return decodeSamples(data, [table](uchar code) { return table[code]; });
    }
    case PAYLOAD_GSM:
        if (!hasState(state, payload, false))
            return QByteArray();
        return decodeGsm(data, static_cast<gsm0610_state_t *>(state->decoder()));
    case PAYLOAD_G722:
        if (!hasState(state, payload, false))
            return QByteArray();
        return decodeG722(data, static_cast<g722_decode_state_t *>(state->decoder()));
    default:
        return QByteArray();
    }
}
