// Requests answered per second and p99 latency of the SIP engine: a peer on loopback sends one
// request at a time to a running standalone module that holds 1000 accounts, after as many
// other requests (each a live transaction once transactions are built in) as asked. "fresh"
// sends OPTIONS of new calls; "repeat" resends one OPTIONS, a retransmission of a live
// transaction. Run by hand: build-*/server/bench/sip/engine/bench_sipengine
#include "core/env.h"
#include "core/modulehost.h"
#include "sip/sip.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QSettings>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class Host : public QObject, public ModuleHost
{
public:
    explicit Host(quint16 port)
        : m_Port(port)
    {
    }
    void setValue(const QString &, const QString &, const QVariant &) override { }
    void setDefaultValue(const QString &, const QString &, const QVariant &) override { }
    QVariant value(const QString &, const QString &key, const QVariant &fallback) const override
    {
        if (key == QLatin1String("standalone-bind-address"))
            return QStringLiteral("127.0.0.1");
        if (key == QLatin1String("standalone-bind-port"))
            return m_Port;
        return fallback;
    }
    bool restartSipAndVelk() override { return true; }
    bool isStopping() const override { return false; }

private:
    quint16 m_Port;
};

QByteArray options(const QString &callId)
{
    return QStringLiteral("OPTIONS sip:100@127.0.0.1 SIP/2.0\r\n"
                          "Via: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK%1;rport\r\n"
                          "From: <sip:bench@127.0.0.1>;tag=b1\r\nTo: <sip:100@127.0.0.1>\r\n"
                          "Call-ID: %1\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\n"
                          "Content-Length: 0\r\n\r\n")
        .arg(callId)
        .toUtf8();
}

bool exchange(QUdpSocket &peer, quint16 port, const QByteArray &request)
{
    peer.writeDatagram(request, QHostAddress(QHostAddress::LocalHost), port);
    if (!peer.waitForReadyRead(5000))
        return false;
    while (peer.hasPendingDatagrams())
        peer.receiveDatagram();
    return true;
}

int serial = 0;

void preload(QUdpSocket &peer, quint16 port, int count)
{
    for (int i = 0; i < count; ++i)
        exchange(peer, port, options(QStringLiteral("live-%1").arg(++serial)));
}

void measure(QUdpSocket &peer, quint16 port, int live, bool repeat, int samples)
{
    const QByteArray repeated = options(QStringLiteral("repeat-%1").arg(++serial));
    std::vector<qint64> ns;
    ns.reserve(size_t(samples));
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < samples; ++i) {
        const QByteArray request
            = repeat ? repeated : options(QStringLiteral("fresh-%1").arg(++serial));
        QElapsedTimer one;
        one.start();
        if (!exchange(peer, port, request)) {
            std::printf("no answer\n");
            return;
        }
        ns.push_back(one.nsecsElapsed());
    }
    const double seconds = double(total.nsecsElapsed()) / 1e9;
    std::sort(ns.begin(), ns.end());
    std::printf("%-6s alive %6d: %8.0f msg/s  p50 %6.1f us  p99 %6.1f us\n",
                repeat ? "repeat" : "fresh", live, samples / seconds,
                double(ns[ns.size() / 2]) / 1e3, double(ns[ns.size() * 99 / 100]) / 1e3);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Env::initApplication(argv[0]);
    {
        QSettings users(Env::configFilePath(QStringLiteral("sip-users")), QSettings::IniFormat);
        users.clear();
        for (int i = 0; i < 1000; ++i)
            users.setValue(QStringLiteral("%1/type-user").arg(100 + i), QStringLiteral("1"));
    }
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = probe.localPort();
    probe.close();

    // The module in a core thread of its own, as the service runs it.
    QThread core;
    core.start();
    auto *host = new Host(port);
    host->moveToThread(&core);
    Sip *sip = nullptr;
    QObject context;
    context.moveToThread(&core);
    QMetaObject::invokeMethod(
        &context,
        [&] {
            sip = new Sip(host);
            sip->start();
        },
        Qt::BlockingQueuedConnection);

    QUdpSocket peer;
    peer.bind(QHostAddress(QHostAddress::LocalHost), 0);
    while (!exchange(peer, port, options(QStringLiteral("warm-up"))))
        QThread::msleep(100);
    const auto alive = [&] {
        int dialogs = 0;
        QMetaObject::invokeMethod(
            &context, [&] { dialogs = sip->liveDialogs(); }, Qt::BlockingQueuedConnection);
        return dialogs;
    };
    for (int live : { 0, 1000, 10000 }) {
        // Stateless answers keep nothing alive: the load is then sent and forgotten.
        preload(peer, port, std::max(0, live - alive()));
        measure(peer, port, alive(), true, 5000);
        measure(peer, port, alive(), false, 1000);
    }
    QMetaObject::invokeMethod(
        &context,
        [&] {
            sip->stopParent();
            sip->waitSeconds(16);
            delete host;
        },
        Qt::BlockingQueuedConnection);
    core.quit();
    core.wait();
    return 0;
}
