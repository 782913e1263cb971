// Per-message cost of finding and running a transaction with 1k and 10k live transactions: the
// lookup alone (maintained index beside a recursive findChild by object name) and a whole
// retransmitted request (parse, key, lookup, answer with the stored response); and the heap
// taken per live transaction. Run by hand:
// build-*/server/bench/sip/transaction/bench_siptransaction
#include "sip/sipdialogindex.h"
#include "sip/sipservernoninvitedialog.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QHostAddress>

#include <malloc.h>

#include <memory>
#include <vector>

namespace {

QByteArray requestBytes(int n)
{
    return QStringLiteral("OPTIONS sip:door1@192.0.2.1 SIP/2.0\r\n"
                          "Via: SIP/2.0/UDP 192.0.2.50:5070;branch=z9hG4bK%1;rport\r\n"
                          "Max-Forwards: 70\r\n"
                          "From: <sip:bob@example.org>;tag=f%1\r\n"
                          "To: <sip:door1@example.org>\r\n"
                          "Call-ID: %1-5c0e2bb4f1a94e0c9b2d7e11a3f0c4d2\r\n"
                          "CSeq: 7 OPTIONS\r\n"
                          "Content-Length: 0\r\n\r\n")
        .arg(n)
        .toUtf8();
}

SipMessage received(const QByteArray &bytes)
{
    return SipMessage(SipTransport::UDP, QHostAddress(QStringLiteral("192.0.2.50")), 5070,
                      QHostAddress(QStringLiteral("192.0.2.1")), 5060, bytes);
}

// An engine-like parent with count answered server transactions (each in Completed with its
// 200 kept and Timer J running), all in the index.
struct Live
{
    explicit Live(int count)
    {
        for (int n = 0; n < count; ++n) {
            const SipMessage request = received(requestBytes(n));
            auto *dialog = new SipServerNonInviteDialog(&parent, request);
            index.add(dialog);
            dialog->sendResponse(SipMessage(SipStatus::OK, request));
            keys.push_back(request.transactionKey());
        }
    }
    QObject parent;
    SipDialogIndex index { &parent };
    std::vector<QString> keys;
};

void lookupIndex(benchmark::State &state)
{
    Live live(int(state.range(0)));
    size_t n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(live.index.find(live.keys[n++ % live.keys.size()]));
}

void lookupFindChild(benchmark::State &state)
{
    Live live(int(state.range(0)));
    size_t n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            live.parent.findChild<SipDialog *>(live.keys[n++ % live.keys.size()]));
}

void retransmission(benchmark::State &state)
{
    Live live(int(state.range(0)));
    std::vector<QByteArray> datagrams;
    for (int n = 0; n < 64; ++n)
        datagrams.push_back(requestBytes(n * int(state.range(0)) / 64));
    qint64 bytes = 0;
    for (SipDialog *dialog : live.parent.findChildren<SipDialog *>())
        QObject::connect(dialog, &SipDialog::sendDatagram,
                         [&bytes](SipTransport::Type, QString, ushort, QByteArray datagram) {
                             bytes += datagram.size();
                         });
    size_t n = 0;
    for (auto _ : state) {
        const SipMessage msg = received(datagrams[n++ % datagrams.size()]);
        if (SipDialog *dialog = live.index.find(msg.transactionKey()))
            dialog->process(msg);
    }
    state.counters["answer_bytes"]
        = benchmark::Counter(double(bytes), benchmark::Counter::kAvgIterations);
}

void memoryPerTransaction(benchmark::State &state)
{
    const int count = int(state.range(0));
    double perTransaction = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        auto live = std::make_unique<Live>(count);
        perTransaction = double(mallinfo2().uordblks - before) / count;
        state.PauseTiming();
        live.reset();
        state.ResumeTiming();
    }
    state.counters["bytes_per_transaction"] = perTransaction;
}

} // namespace

BENCHMARK(lookupIndex)->Arg(1000)->Arg(10000);
BENCHMARK(lookupFindChild)->Arg(1000)->Arg(10000);
BENCHMARK(retransmission)->Arg(1000)->Arg(10000);
BENCHMARK(memoryPerTransaction)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    // Transactions run their timers on the thread's event dispatcher.
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
