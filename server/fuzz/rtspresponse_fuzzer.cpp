// libFuzzer target for the RTSP answer reader. The first byte picks the segment size the stream
// is fed in. Beyond crashes it checks that the buffer stays bounded, that an accepted answer
// reads back after it was written, and that a usable description never names a payload above 127.
#include "rtsp/rtspdigest.h"
#include "rtsp/rtspmessage.h"
#include "rtsp/rtspresponsereader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QByteArray &text)
{
    std::fprintf(stderr, "%s: [%s]\n", what, text.constData());
    std::abort();
}

void check(const RtspMessage &message)
{
    uchar codec = 0;
    QString info, fmtp, control;
    if (RtspMessage::parseVideoSdp(message.body(), codec, info, fmtp, control) && codec > 127)
        fail("payload above 127", message.body());
    quint64 count = 1;
    for (const QString &challenge : message.headerValues(RtspMessage::WWWAuthenticate))
        RtspDigest::answer(challenge, QStringLiteral("DESCRIBE"), QStringLiteral("rtsp://c/d"),
                           QStringLiteral("u"), QStringLiteral("p"), count);
    if (!message.valid() || message.reason().size() < 2)
        return;
    const QByteArray written = message.toByteArray();
    const RtspMessage again(written);
    if (!again.valid() || again.status() != message.status() || again.cseq() != message.cseq()
        || again.body() != message.body())
        fail("answer does not read back", written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int segment = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    RtspResponseReader reader;
    for (int at = 0; at < stream.size(); at += segment) {
        reader.append(stream.mid(at, segment));
        RtspMessage message;
        QString error;
        RtspResponseReader::Result result;
        while ((result = reader.next(&message, &error)) == RtspResponseReader::Complete)
            check(message);
        if (reader.size()
            > RtspResponseReader::MaxHeadBytes + RtspResponseReader::MaxBodyBytes + 64)
            fail("buffer beyond its bounds", QByteArray::number(reader.size()));
    }
    return 0;
}
