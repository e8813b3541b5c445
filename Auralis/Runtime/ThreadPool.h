#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace auralis::runtime {

// A fixed set of worker threads that, together with the calling thread, runs the tasks of one
// parallel loop at a time. Made for the runtime's kernels: no allocation per loop, tasks
// claimed through an atomic counter. One loop at a time: run() may be called from one thread
// at a time (the owning model serialises its predictions); a nested run() from inside a task
// runs serially on that thread.
class ThreadPool {
public:
    // `threadCount` counts the calling thread; at least 1.
    explicit ThreadPool(int threadCount);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    int threadCount() const noexcept { return static_cast<int>(workers_.size()) + 1; }

    // Calls fn(task) for every task in [0, taskCount) and returns when all have finished.
    // The first exception a task throws is rethrown here after the others have finished.
    template <typename F>
    void run(std::size_t taskCount, F&& fn)
    {
        runErased(taskCount, [](void* context, std::size_t task) { (*static_cast<F*>(context))(task); }, &fn);
    }

    // Splits [0, count) into at most threadCount() contiguous ranges of whole `grain`s and calls
    // fn(begin, end) for each.
    template <typename F>
    void parallelFor(std::size_t count, std::size_t grain, F&& fn)
    {
        parallelForParts(count, grain, [&](std::size_t, std::size_t begin, std::size_t end) { fn(begin, end); });
    }

    // Like parallelFor, but also passes the part's index (below threadCount()), so a part can
    // use scratch memory of its own: fn(part, begin, end).
    template <typename F>
    void parallelForParts(std::size_t count, std::size_t grain, F&& fn)
    {
        if (count == 0) {
            return;
        }
        grain = grain == 0 ? 1 : grain;
        const std::size_t grains = (count + grain - 1) / grain;
        const std::size_t parts = std::min<std::size_t>(grains, static_cast<std::size_t>(threadCount()));
        run(parts, [&](std::size_t part) {
            const std::size_t begin = std::min(count, (grains * part / parts) * grain);
            const std::size_t end = std::min(count, (grains * (part + 1) / parts) * grain);
            if (begin < end) {
                fn(part, begin, end);
            }
        });
    }

private:
    using Invoke = void (*)(void*, std::size_t);
    void runErased(std::size_t taskCount, Invoke invoke, void* context);
    void workerLoop();
    void drain();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::atomic<std::uint64_t> generation_ { 0 };
    bool stopping_ = false;

    Invoke invoke_ = nullptr;
    void* context_ = nullptr;
    std::size_t taskCount_ = 0;
    std::atomic<std::size_t> nextTask_ { 0 };
    std::atomic<std::size_t> doneTasks_ { 0 };
    std::atomic<int> activeWorkers_ { 0 };
    std::exception_ptr error_;
    std::mutex errorMutex_;
};

} // namespace auralis::runtime
