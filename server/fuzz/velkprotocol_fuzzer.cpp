// libFuzzer target for the door-panel datagram readers. Beyond crashes it checks that the
// readers agree with the drop rules, that an accepted datagram's answer key names its head, and
// that the answer to any report is 16 bytes carrying the report's head.
#include "velk/velkprotocol.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace VelkProtocol;
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    const Received received = classify(datagram);
    const ReportReading report = readReport(datagram);
    const AnswerReading answer = readAnswer(datagram);
    if (report.ok != (received.disposition == Received::Report))
        fail("report reader disagrees with the drop rules");
    if (answer.ok && received.disposition != Received::Answer)
        fail("answer reader accepts a dropped datagram");
    if (received.disposition == Received::Drop && received.error.isEmpty())
        fail("dropped without a reason");
    if (received.disposition != Received::Drop
        && answerKey(datagram) != answerKey(datagram.left(kRequestDataOffset)))
        fail("answer key reads beyond the head");
    if (answer.ok && answer.answer.head.command == ReadBlock
        && answer.answer.block.size() != kBlockSize)
        fail("block answer without a whole block");
    if (report.ok) {
        const QByteArray reply = makeVelkAnswer(datagram, kAccepted, 50000);
        if (reply.size() != kServerAnswerSize || reply.left(1) != datagram.left(1)
            || reply.mid(2, 11) != datagram.mid(2, 11) || reply.at(1) != ServerAnswer)
            fail("answer does not carry the report's head");
        (void)report.report.firmware();
    }
    (void)hex(datagram);
    return 0;
}
