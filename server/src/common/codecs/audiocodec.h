#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class AudioCodecState;

// Every audio sample conversion and the process-wide list of enabled codecs. Audio moves in
// 20 ms frames of 8 kHz mono: 320 bytes of 16-bit signed little-endian PCM or 160 bytes of
// 8-bit unsigned PCM (128 is silence). The conversions keep no state and may run in any
// thread; only GSM 06.10 and G.722 need the caller's AudioCodecState.
class AudioCodec
{
public:
    // RTP payload numbers: PCMA 8, PCMU 0, GSM 3, G722 9, TelephoneEvent 101; 255 is none.
    enum Type { PCMA = 0, PCMU = 1, GSM = 2, G722 = 3, TelephoneEvent = 4 };

    static QByteArray pcm8To16(const QByteArray &data);
    // A trailing odd byte is ignored.
    static QByteArray pcm16To8(const QByteArray &data);
    static QByteArray pcm16To8Raw(const qint16 *samples, int byteCount);
    // Sample-by-sample mean; empty when a is empty or the lengths differ.
    static QByteArray mix16(const QByteArray &a, const QByteArray &b);

    // Payload 0 mu-law, 8 A-law; any other payload returns the data unchanged.
    static QByteArray pcm8ToG711(quint8 payload, const QByteArray &data);
    static QByteArray g711ToPcm8(quint8 payload, const QByteArray &data);

    // 16-bit PCM to the RTP payload of that payload number, and back. GSM (3) and G.722 (9)
    // need a state created for that payload; without one the result is empty. GSM decoding
    // gives the 320-byte frame of the payload's first 33 bytes (empty when shorter).
    static QByteArray encode(quint8 payload, const QByteArray &frame, AudioCodecState *state);
    static QByteArray decode(quint8 payload, const QByteArray &data, AudioCodecState *state);

    // The enabled-codec list, in SDP offer order. Written from the settings (core thread) and
    // read from any thread: readers always see one whole list, never a half-written one.
    static QList<Type> setCodecs(const QStringList &payloadNumbers);
    static QList<Type> codecs();
    static bool isEnabled(quint8 payload);
    static int codecAt(int index);
    static QString payloadListSip();
    static QString payloadList();
};
