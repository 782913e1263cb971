#pragma once

#include <QtGlobal>

// The one clock every schedule of the system runs on: timer intervals and time limits are
// written in schedule milliseconds and pass through toReal() before a timer or wait is armed;
// deadlines compare against now(). Both are monotonic. Tests speed every schedule up at once
// by a factor (setFactor, or the environment variable TARNHALL_TIME_SCALE read at first use).
class TimeScale
{
public:
    // Real milliseconds to wait for an interval of the schedule; at least 1 for a positive one.
    static qint64 toReal(qint64 scheduleMs);
    static int toRealInt(qint64 scheduleMs);
    // Monotonic time of the schedule in milliseconds, from an arbitrary start.
    static qint64 now();
    static double factor();
    static void setFactor(double factor);
};
