// Soak run of door panels streaming audio both ways with the door-device module on loopback.
//
//   bench_velk_soak [--seconds S] [panels...]      (default: 60 s; 10 50 200 panels)
//
// For each number of panels: the module runs as in the service (control socket, one audio
// thread per registered device), every device plays back what its panel sends it (the
// conversation path: fromDevice -> toDevice), and simulated panels in a thread of their own
// send a 20 ms tone frame every 20 ms and stamp each frame they are sent. After a 3 s warm-up,
// S seconds are measured: frames per second per device (target 50), p50/p99/max spacing of
// the frames each panel received (target 20 ms), bursts (a frame within 2 ms of the previous
// one), counter gaps, the server's CPU time per device (the process minus the panels' thread)
// and the process's resident memory.
#include "core/env.h"
#include "core/modulehost.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velkpanel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

const int kWarmupMs = 3000;

class Host : public QObject, public ModuleHost
{
public:
    void setValue(const QString &g, const QString &k, const QVariant &v) override
    {
        values[g + '/' + k] = v;
    }
    void setDefaultValue(const QString &g, const QString &k, const QVariant &v) override
    {
        if (!values.contains(g + '/' + k))
            setValue(g, k, v);
    }
    QVariant value(const QString &g, const QString &k, const QVariant &d) const override
    {
        return values.value(g + '/' + k, d);
    }
    bool restartSipAndVelk() override { return false; }
    bool isStopping() const override { return false; }
    QHash<QString, QVariant> values;
};

double threadCpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpuSeconds()
{
    rusage r {};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
        + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double rssMb()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return 0;
}

// The panels and their statistics, in the panels' own thread.
class Farm : public QObject
{
public:
    struct Stats
    {
        std::vector<qint64> spacingsUs;
        std::vector<double> fps;
        qint64 bursts = 0;
        qint64 gaps = 0;
        double cpuSeconds = 0;
    };

    void start(int count, quint16 port, const QByteArray &tone)
    {
        m_Seen.assign(size_t(count), {});
        for (int i = 0; i < count; ++i) {
            auto *p = new VelkPanel({ quint16(i + 1), "pw12", 2, 1, 0, 0 }, this);
            connect(p, &VelkPanel::answered, p, [p, tone](int result) {
                if (result == 0 && p->audioSent() == 0)
                    p->startAudio(tone);
            });
            connect(p, &VelkPanel::audioArrived, p, [this, p, i] { take(p, i); });
            p->start(QHostAddress(QHostAddress::LocalHost), port, 10000);
            m_Panels.push_back(p);
        }
    }

    void beginWindow()
    {
        m_Measuring = true;
        m_Cpu = threadCpuSeconds();
        m_Window.start();
        for (Seen &seen : m_Seen)
            seen = {};
    }

    Stats endWindow()
    {
        m_Measuring = false;
        Stats stats = std::move(m_Stats);
        m_Stats = {};
        stats.cpuSeconds = threadCpuSeconds() - m_Cpu;
        const double seconds = double(m_Window.elapsed()) / 1000;
        for (const Seen &seen : m_Seen)
            stats.fps.push_back(double(seen.frames) / seconds);
        for (VelkPanel *p : m_Panels)
            p->stopAudio();
        return stats;
    }

private:
    struct Seen
    {
        qint64 frames = 0;
        qint64 lastUs = -1;
        qint64 lastCounter = -1;
    };

    void take(VelkPanel *p, int index)
    {
        const QList<VelkPanel::AudioIn> in = p->takeAudioReceived();
        if (!m_Measuring)
            return;
        Seen &seen = m_Seen[size_t(index)];
        for (const VelkPanel::AudioIn &frame : in) {
            if (seen.lastUs >= 0) {
                const qint64 spacing = frame.atUs - seen.lastUs;
                m_Stats.spacingsUs.push_back(spacing);
                m_Stats.bursts += spacing < 2000 ? 1 : 0;
                m_Stats.gaps += qint64(frame.counter) != seen.lastCounter + 1 ? 1 : 0;
            }
            seen.lastUs = frame.atUs;
            seen.lastCounter = frame.counter;
            ++seen.frames;
        }
    }

    std::vector<VelkPanel *> m_Panels;
    std::vector<Seen> m_Seen;
    Stats m_Stats;
    bool m_Measuring = false;
    double m_Cpu = 0;
    QElapsedTimer m_Window;
};

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template<typename F> void inThread(QObject *object, F f)
{
    QMetaObject::invokeMethod(object, f, Qt::BlockingQueuedConnection);
}

qint64 percentile(std::vector<qint64> values, double p)
{
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1, size_t(double(values.size()) * p));
    std::nth_element(values.begin(), values.begin() + long(at), values.end());
    return values[at];
}

bool soak(int count, int seconds, const QByteArray &tone)
{
    QFile::remove(Env::configFilePath("velk-devices"));
    {
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        for (int i = 1; i <= count; ++i)
            devices.setValue(QStringLiteral("%1/device-password").arg(i), "pw12");
    }
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 port = probe.localPort();
    probe.close();

    const double rssBefore = rssMb();
    Host host;
    host.values["velk/bind-address"] = "127.0.0.1";
    host.values["velk/bind-port"] = port;
    auto *velk = new Velk(&host);
    velk->start();
    wait(200);
    for (VelkDevice *device : velk->findChildren<VelkDevice *>()) {
        // Each device plays back what its panel says, as a conversation would.
        QObject::connect(device, &VelkDevice::isRegisteredChanged, device, [device] {
            if (device->currentOutput() != 1) {
                emit device->setRecvFromDevice(true);
                device->setOutputType(1, 0, QString(), 0, 0);
                QObject::connect(device, &VelkDevice::fromDevice, device, &VelkDevice::toDevice,
                                 Qt::UniqueConnection);
            }
        });
    }

    QThread thread;
    Farm farm;
    farm.moveToThread(&thread);
    thread.start();
    inThread(&farm, [&] { farm.start(count, port, tone); });
    wait(kWarmupMs);
    inThread(&farm, [&] { farm.beginWindow(); });
    const double cpuStart = processCpuSeconds();
    wait(seconds * 1000);
    Farm::Stats stats;
    inThread(&farm, [&] { stats = farm.endWindow(); });
    const double cpu = processCpuSeconds() - cpuStart - stats.cpuSeconds;
    const double rss = rssMb();

    velk->stop();
    velk->waitSeconds(30);
    inThread(&farm, [&] { qDeleteAll(farm.children()); });
    thread.quit();
    thread.wait();
    delete velk;

    const auto [minFps, maxFps] = std::minmax_element(stats.fps.begin(), stats.fps.end());
    double sum = 0;
    for (double fps : stats.fps)
        sum += fps;
    std::printf("%4d panels: frames/s per device min %.2f avg %.2f max %.2f | spacing p50 %.2f "
                "p99 %.2f max %.2f ms | bursts %lld, gaps %lld | server CPU %.2f%% per device | "
                "RSS %.1f MB (+%.0f kB per panel and device)\n",
                count, *minFps, sum / double(stats.fps.size()), *maxFps,
                double(percentile(stats.spacingsUs, 0.5)) / 1000,
                double(percentile(stats.spacingsUs, 0.99)) / 1000,
                double(percentile(stats.spacingsUs, 1.0)) / 1000, stats.bursts, stats.gaps,
                100 * cpu / seconds / count, rss, (rss - rssBefore) * 1024 / count);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Env::initApplication(argv[0]);
    QStringList args = app.arguments().mid(1);
    int seconds = 60;
    if (args.size() >= 2 && args.first() == "--seconds") {
        seconds = args.at(1).toInt();
        args = args.mid(2);
    }
    QList<int> counts;
    for (const QString &arg : args)
        counts << arg.toInt();
    if (counts.isEmpty())
        counts = { 10, 50, 200 };
    // The panels' tone: 10 frames of a 700 Hz sine, 8-bit unsigned.
    QByteArray tone(1600, '\0');
    for (int i = 0; i < tone.size(); ++i)
        tone[i] = char(128 + int(60 * std::sin(2 * 3.141592653589793 * 700 * i / 8000.0)));
    for (int count : counts)
        soak(count, seconds, tone);
    return 0;
}
