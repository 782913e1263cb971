// Cost of one 20 ms frame through each encoder and decoder, next to the bare spandsp call on
// preallocated buffers, so the overhead of our path (array allocation, state checks) shows.
// Run: build/server/bench/common/codecs/bench_codecs
#include "common/codecs/audiocodec.h"
#include "common/codecs/audiocodecstate.h"

#include <QtEndian>

#include <benchmark/benchmark.h>
#include <cmath>

#include <spandsp/telephony.h>
// telephony.h must come first: the codec headers use its SPAN_DECLARE.
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>
#include <spandsp/g722.h>
#include <spandsp/gsm0610.h>

namespace {

const int SAMPLES = 160;

QByteArray speechFrame()
{
    QByteArray frame(2 * SAMPLES, '\0');
    for (int i = 0; i < SAMPLES; ++i) {
        const double v = 9000 * std::sin(i * 0.35) + 3000 * std::sin(i * 1.9);
        qToLittleEndian<qint16>(qint16(v), frame.data() + 2 * i);
    }
    return frame;
}

QByteArray encodedFrame(quint8 payload)
{
    AudioCodecState state(payload);
    return AudioCodec::encode(payload, speechFrame(), &state);
}

void ourEncode(benchmark::State &bench)
{
    const quint8 payload = quint8(bench.range(0));
    const QByteArray frame = speechFrame();
    AudioCodecState state(payload);
    for (auto _ : bench)
        benchmark::DoNotOptimize(AudioCodec::encode(payload, frame, &state));
}

void ourDecode(benchmark::State &bench)
{
    const quint8 payload = quint8(bench.range(0));
    const QByteArray data = encodedFrame(payload);
    AudioCodecState state(payload);
    for (auto _ : bench)
        benchmark::DoNotOptimize(AudioCodec::decode(payload, data, &state));
}

void ourPcm8To16(benchmark::State &bench)
{
    const QByteArray frame = AudioCodec::pcm16To8(speechFrame());
    for (auto _ : bench)
        benchmark::DoNotOptimize(AudioCodec::pcm8To16(frame));
}

void ourPcm16To8(benchmark::State &bench)
{
    const QByteArray frame = speechFrame();
    for (auto _ : bench)
        benchmark::DoNotOptimize(AudioCodec::pcm16To8(frame));
}

void ourPcm8ToAlaw(benchmark::State &bench)
{
    const QByteArray frame = AudioCodec::pcm16To8(speechFrame());
    for (auto _ : bench)
        benchmark::DoNotOptimize(AudioCodec::pcm8ToG711(8, frame));
}

const int16_t *samplesOf(const QByteArray &frame)
{
    return reinterpret_cast<const int16_t *>(frame.constData());
}

void spandspAlawEncode(benchmark::State &bench)
{
    const QByteArray frame = speechFrame();
    uint8_t out[SAMPLES];
    for (auto _ : bench) {
        for (int i = 0; i < SAMPLES; ++i)
            out[i] = linear_to_alaw(samplesOf(frame)[i]);
        benchmark::DoNotOptimize(out);
    }
}

void spandspAlawDecode(benchmark::State &bench)
{
    const QByteArray data = encodedFrame(8);
    int16_t out[SAMPLES];
    for (auto _ : bench) {
        for (int i = 0; i < SAMPLES; ++i)
            out[i] = alaw_to_linear(uint8_t(data.at(i)));
        benchmark::DoNotOptimize(out);
    }
}

void spandspUlawEncode(benchmark::State &bench)
{
    const QByteArray frame = speechFrame();
    uint8_t out[SAMPLES];
    for (auto _ : bench) {
        for (int i = 0; i < SAMPLES; ++i)
            out[i] = linear_to_ulaw(samplesOf(frame)[i]);
        benchmark::DoNotOptimize(out);
    }
}

void spandspUlawDecode(benchmark::State &bench)
{
    const QByteArray data = encodedFrame(0);
    int16_t out[SAMPLES];
    for (auto _ : bench) {
        for (int i = 0; i < SAMPLES; ++i)
            out[i] = ulaw_to_linear(uint8_t(data.at(i)));
        benchmark::DoNotOptimize(out);
    }
}

void spandspGsmEncode(benchmark::State &bench)
{
    const QByteArray frame = speechFrame();
    gsm0610_state_t *gsm = gsm0610_init(nullptr, GSM0610_PACKING_VOIP);
    uint8_t out[33];
    for (auto _ : bench) {
        benchmark::DoNotOptimize(gsm0610_encode(gsm, out, samplesOf(frame), SAMPLES));
        benchmark::DoNotOptimize(out);
    }
    gsm0610_free(gsm);
}

void spandspGsmDecode(benchmark::State &bench)
{
    const QByteArray data = encodedFrame(3);
    gsm0610_state_t *gsm = gsm0610_init(nullptr, GSM0610_PACKING_VOIP);
    int16_t out[SAMPLES];
    for (auto _ : bench) {
        benchmark::DoNotOptimize(
            gsm0610_decode(gsm, out, reinterpret_cast<const uint8_t *>(data.constData()), 33));
        benchmark::DoNotOptimize(out);
    }
    gsm0610_free(gsm);
}

void spandspG722Encode(benchmark::State &bench)
{
    const QByteArray frame = speechFrame();
    g722_encode_state_t *g722 = g722_encode_init(nullptr, 64000, G722_SAMPLE_RATE_8000);
    uint8_t out[SAMPLES];
    for (auto _ : bench) {
        benchmark::DoNotOptimize(g722_encode(g722, out, samplesOf(frame), SAMPLES));
        benchmark::DoNotOptimize(out);
    }
    g722_encode_free(g722);
}

void spandspG722Decode(benchmark::State &bench)
{
    const QByteArray data = encodedFrame(9);
    g722_decode_state_t *g722 = g722_decode_init(nullptr, 64000, G722_SAMPLE_RATE_8000);
    int16_t out[SAMPLES];
    for (auto _ : bench) {
        benchmark::DoNotOptimize(
            g722_decode(g722, out, reinterpret_cast<const uint8_t *>(data.constData()), SAMPLES));
        benchmark::DoNotOptimize(out);
    }
    g722_decode_free(g722);
}

} // namespace

// Payload numbers: 0 PCMU, 8 PCMA, 3 GSM, 9 G.722.
BENCHMARK(ourEncode)->Arg(8)->Arg(0)->Arg(3)->Arg(9);
BENCHMARK(ourDecode)->Arg(8)->Arg(0)->Arg(3)->Arg(9);
BENCHMARK(spandspAlawEncode);
BENCHMARK(spandspAlawDecode);
BENCHMARK(spandspUlawEncode);
BENCHMARK(spandspUlawDecode);
BENCHMARK(spandspGsmEncode);
BENCHMARK(spandspGsmDecode);
BENCHMARK(spandspG722Encode);
BENCHMARK(spandspG722Decode);
BENCHMARK(ourPcm8To16);
BENCHMARK(ourPcm16To8);
BENCHMARK(ourPcm8ToAlaw);

BENCHMARK_MAIN();
