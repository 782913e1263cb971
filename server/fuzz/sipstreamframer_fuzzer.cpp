// libFuzzer target for the SIP over TCP stream framing. The first byte picks the segment size
// the stream is fed in. Beyond crashes it checks that the buffer stays bounded, that every
// message taken carries exactly the body its one Content-Length announces, and that no
// keep-alive line end is ever passed on as a message.
#include "sip/sipstreamframer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QByteArray &text)
{
    std::fprintf(stderr, "%s: [%s]\n", what, text.toHex().constData());
    std::abort();
}

void check(const QByteArray &message)
{
    if (message.startsWith('\r') || message.startsWith('\n'))
        fail("message starts with a line end", message);
    const int crlf = message.indexOf("\r\n\r\n");
    const int lf = message.indexOf("\n\n");
    const int head = lf >= 0 && (crlf < 0 || lf < crlf) ? lf + 2 : crlf + 4;
    if (head < 4)
        fail("message without a head", message);
    const qint64 length = SipStreamFramer::contentLength(message.left(head));
    if (length < 0 || head + length != message.size())
        fail("body does not match Content-Length", message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int segment = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1, int(size) - 1);
    SipStreamFramer framer;
    for (int at = 0; at < stream.size(); at += segment) {
        framer.append(stream.mid(at, segment));
        QByteArray message;
        QString error;
        SipStreamFramer::Result result;
        while ((result = framer.next(&message, &error)) == SipStreamFramer::Complete)
            check(message);
        if (result == SipStreamFramer::Failed && (framer.size() != 0 || error.isEmpty()))
            fail("failure keeps bytes or gives no reason", stream);
        if (framer.size() > SipStreamFramer::MaxHeadBytes + SipStreamFramer::MaxBodyBytes + 64)
            fail("buffer grows without bound", stream);
    }
    return 0;
}
