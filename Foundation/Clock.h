#pragma once

#include <chrono>

namespace hushnote {

using WallTime = std::chrono::system_clock::time_point;
using MonotonicTime = std::chrono::steady_clock::time_point;

// Time source for the dictation flow: wall time for the recorder's start time and log
// timestamps, monotonic time for stage durations. Tests substitute a manual clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual WallTime now() const = 0;
    virtual MonotonicTime monotonicNow() const = 0;
};

class SystemClock final : public Clock {
public:
    WallTime now() const override { return std::chrono::system_clock::now(); }
    MonotonicTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
};

// Whole seconds x 1000 plus the fractional part, as the stage durations are reported.
inline double millisecondsBetween(MonotonicTime start, MonotonicTime end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace hushnote
