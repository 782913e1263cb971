#include "core/timescale.h"

#include <QString>

#include <atomic>
#include <climits>
#include <ctime>

namespace {

double factorFromEnvironment()
{
    bool ok = false;
    const double value = qEnvironmentVariable("TARNHALL_TIME_SCALE").toDouble(&ok);
    return ok && value > 0 ? value : 1.0;
}

std::atomic<double> &factorStore()
{
    static std::atomic<double> store(factorFromEnvironment());
    return store;
}

timespec monotonic()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

} // namespace

qint64 TimeScale::toReal(qint64 scheduleMs)
{
    if (scheduleMs <= 0)
        return scheduleMs;
    const double f = factor();
    if (f == 1.0)
        return scheduleMs;
    const qint64 real = qint64(double(scheduleMs) / f);
    return real < 1 ? 1 : real;
}

int TimeScale::toRealInt(qint64 scheduleMs)
{
    const qint64 real = toReal(scheduleMs);
    return real > INT_MAX ? INT_MAX : (real < INT_MIN ? INT_MIN : int(real));
}

qint64 TimeScale::now()
{
    const double f = factor();
    const timespec ts = monotonic();
    if (f == 1.0)
        return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    // Scaled from the nanoseconds: a sped-up schedule keeps its millisecond steps.
    return qint64((double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6) * f);
}

double TimeScale::factor()
{
    return factorStore().load(std::memory_order_relaxed);
}

void TimeScale::setFactor(double factor)
{
    factorStore().store(factor > 0 ? factor : 1.0, std::memory_order_relaxed);
}
