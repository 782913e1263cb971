// Soak run of simultaneous two-leg G.711 calls relaying real RTP on loopback.
//
//   bench_conversation_soak [calls...]      (default: 1 10 50 100)
//
// For each number of calls: the calls are created as the SIP engine would, a child process
// plays both far ends of every call (one PCMA packet per leg every 20 ms) and stamps what the
// calls send back. After a 3 s warm-up, 10 s are measured: CPU time and context switches per
// second of this process (the conversations only), and the p50/p99/max spacing of the packets
// the calls sent (target 20 ms). The harness itself sleeps meanwhile, so the figures are the
// calls' own.
#include "conversation/conversationobject.h"
#include "conversation/conversationthread.h"
#include "rtpfarend.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int WarmupMs = 3000;
const int WindowMs = 10000;

struct Usage
{
    double cpuSeconds;
    long switches;
};

Usage usage()
{
    rusage r {};
    getrusage(RUSAGE_SELF, &r);
    return { double(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
                 + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6,
             r.ru_nvcsw + r.ru_nivcsw };
}

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool soak(int calls)
{
    std::vector<std::unique_ptr<ConversationThread>> conversations;
    QStringList ports;
    for (int i = 0; i < calls; ++i) {
        ConversationThread *c = ConversationThread::create(
            46000, 47000, 1, false, QStringLiteral("soak-%1").arg(i), nullptr);
        if (!c) {
            std::fprintf(stderr, "no ports for call %d\n", i);
            return false;
        }
        conversations.emplace_back(c);
        ports << QString::number(c->audioRtpPort());
    }
    QProcess farEnds;
    farEnds.start(QCoreApplication::applicationFilePath(), QStringList { "--far-ends" } + ports);
    if (!farEnds.waitForReadyRead(10000)) {
        std::fprintf(stderr, "far ends did not start\n");
        return false;
    }
    const QList<QByteArray> legPorts = farEnds.readLine().trimmed().split(' ');
    const QHostAddress lo(QHostAddress::LocalHost);
    for (int i = 0; i < calls; ++i) {
        ConversationThread *c = conversations[size_t(i)].get();
        for (int leg = 0; leg < 2; ++leg) {
            const QString id = QStringLiteral("leg%1").arg(leg);
            emit c->appendCaller(60, id, SipMessage(id), 8, lo,
                                 legPorts.value(2 * i + leg).toUShort(), lo, 0,
                                 SipSdpAction::SendRecv);
            emit c->acceptCaller(id);
        }
    }
    farEnds.write("go\n");
    farEnds.waitForBytesWritten();
    wait(WarmupMs);
    const Usage before = usage();
    QElapsedTimer window;
    window.start();
    wait(WindowMs);
    const Usage after = usage();
    const double seconds = double(window.elapsed()) / 1000.0;
    if (!farEnds.waitForFinished(20000)) {
        std::fprintf(stderr, "far ends did not finish\n");
        return false;
    }
    const QList<QByteArray> spacing = farEnds.readAll().trimmed().split(' ');
    const double expected = 2.0 * calls * WindowMs / 20.0;
    const double cpu = 100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds;
    const double switches = double(after.switches - before.switches) / seconds;
    std::printf("%5d calls  cpu %6.1f %% (%5.2f %%/call)  ctx/s %9.0f (%5.0f /call)  spacing "
                "p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms  packets %5.1f %%\n",
                calls, cpu, cpu / calls, switches, switches / calls, spacing.value(1).toDouble(),
                spacing.value(2).toDouble(), spacing.value(3).toDouble(),
                100.0 * spacing.value(0).toDouble() / expected);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && QByteArray(argv[1]) == "--far-ends") {
        QVector<quint16> ports;
        for (int i = 2; i < argc; ++i)
            ports.append(quint16(QByteArray(argv[i]).toUInt()));
        return runFarEnds(ports, WarmupMs, WindowMs);
    }
    QCoreApplication app(argc, argv);
    ConversationObject::m_CallDuration = 0;
    QList<int> rounds;
    for (int i = 1; i < argc; ++i)
        rounds << QByteArray(argv[i]).toInt();
    if (rounds.isEmpty())
        rounds = { 1, 10, 50, 100 };
    std::printf("cpu: share of one core used by the calls; ctx/s: voluntary and involuntary\n"
                "context switches of all call threads per second; spacing: gaps between\n"
                "packets each leg received (20 ms ideal)\n");
    for (int calls : rounds) {
        if (!soak(calls))
            return 1;
    }
    return 0;
}
