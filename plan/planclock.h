#pragma once

// The run's clock: a monotonic time for every due action and dwell, and the
// linear run of a setpoint between two times that ramps and profiles share.

#include <QtGlobal>

#include <chrono>

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

inline double secondsBetween(TimePoint from, TimePoint to)
{
    return std::chrono::duration<double>(to - from).count();
}

inline TimePoint after(TimePoint from, double seconds)
{
    return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A linear run of a setpoint from a to b between t0 and t1 (seconds from the
// step's start): the value at a time and the time at which its register value
// next changes.
struct Segment {
    double t0 = 0, t1 = 0, a = 0, b = 0;
    double at(double t) const
    {
        if (t1 <= t0 || t >= t1)
            return b;
        if (t <= t0)
            return a;
        return a + (b - a) * (t - t0) / (t1 - t0);
    }
    // The first time after t at which value x scale crosses a half count from raw.
    double nextChange(double t, quint16 raw, quint16 scale) const
    {
        if (t >= t1 || a == b)
            return t1;
        const double boundary = (b > a ? raw + 0.5 : raw - 0.5) / scale;
        const double when = t0 + (boundary - a) / (b - a) * (t1 - t0);
        return qBound(t, when, t1);
    }
};
