#include "sip/message/sipcodectable.h"

namespace {

struct CodecEntry
{
    quint8 payload;
    const char *rtpmap;
};

// Indexed by AudioCodec::Type.
const CodecEntry kCodecs[] = {
    { 8, "PCMA/8000" },
    { 0, "PCMU/8000" },
    { 3, "GSM/8000" },
    { 9, "G722/8000" },
    { 101, "telephone-event/8000" },
};
constexpr int kCodecCount = int(sizeof(kCodecs) / sizeof(kCodecs[0]));
const quint8 kNoPayload = 255;

} // namespace

quint8 codecPayload(int codec)
{
    return codec >= 0 && codec < kCodecCount ? kCodecs[codec].payload : kNoPayload;
}

int codecFromPayload(int payload)
{
    if (payload == kNoPayload)
        return -1;
    for (int codec = 0; codec < kCodecCount; ++codec) {
        if (kCodecs[codec].payload == payload)
            return codec;
    }
    return -1;
}

QString codecRtpmap(int codec)
{
    return codec >= 0 && codec < kCodecCount ? QString::fromLatin1(kCodecs[codec].rtpmap)
                                             : QString();
}
