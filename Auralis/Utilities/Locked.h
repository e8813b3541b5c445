#pragma once

#include <mutex>
#include <utility>

namespace auralis {

// One value behind its own lock: every read copies under the lock and every write replaces
// under it, so a reader never sees a half-written value.
template <typename T> class Locked {
public:
    Locked() = default;
    explicit Locked(T value)
        : value_(std::move(value))
    {
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    T get() const
    {
        std::lock_guard lock(mutex_);
        return value_;
    }

    void set(T value)
    {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }

    // Runs `f(value)` under the lock, for read-modify-write updates.
    template <typename F> decltype(auto) withLock(F&& f)
    {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }

private:
    mutable std::mutex mutex_;
    T value_ {};
};

} // namespace auralis
