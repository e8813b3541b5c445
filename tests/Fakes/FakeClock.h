#pragma once

#include "Foundation/Clock.h"

#include <mutex>

namespace hushnote::testing {

// A clock that moves only when told to; wall and monotonic time advance together.
class FakeClock final : public Clock {
public:
    WallTime now() const override
    {
        std::lock_guard lock(mutex_);
        return wall_;
    }
    MonotonicTime monotonicNow() const override
    {
        std::lock_guard lock(mutex_);
        return monotonic_;
    }
    void advance(std::chrono::nanoseconds by)
    {
        std::lock_guard lock(mutex_);
        wall_ += std::chrono::duration_cast<WallTime::duration>(by);
        monotonic_ += by;
    }

private:
    mutable std::mutex mutex_;
    WallTime wall_ = WallTime(std::chrono::seconds(1'800'000'000));
    MonotonicTime monotonic_ = MonotonicTime(std::chrono::seconds(1000));
};

} // namespace hushnote::testing
