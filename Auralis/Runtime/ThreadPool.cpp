#include "Auralis/Runtime/ThreadPool.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace auralis::runtime {

namespace {

thread_local bool insidePoolTask = false;

void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

} // namespace

ThreadPool::ThreadPool(int threadCount)
{
    const int workers = std::max(1, threadCount) - 1;
    workers_.reserve(static_cast<std::size_t>(workers));
    for (int i = 0; i < workers; ++i) {
        workers_.emplace_back([this] { workerLoop(); });
    }
}

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    for (auto& worker : workers_) {
        worker.join();
    }
}

void ThreadPool::drain()
{
    const bool wasInside = insidePoolTask;
    insidePoolTask = true;
    for (;;) {
        const std::size_t task = nextTask_.fetch_add(1, std::memory_order_relaxed);
        if (task >= taskCount_) {
            break;
        }
        try {
            invoke_(context_, task);
        } catch (...) {
            std::lock_guard lock(errorMutex_);
            if (!error_) {
                error_ = std::current_exception();
            }
        }
        doneTasks_.fetch_add(1, std::memory_order_acq_rel);
    }
    insidePoolTask = wasInside;
}

void ThreadPool::runErased(std::size_t taskCount, Invoke invoke, void* context)
{
    if (taskCount == 0) {
        return;
    }
    if (workers_.empty() || insidePoolTask || taskCount == 1) {
        for (std::size_t task = 0; task < taskCount; ++task) {
            invoke(context, task);
        }
        return;
    }
    {
        std::lock_guard lock(mutex_);
        invoke_ = invoke;
        context_ = context;
        taskCount_ = taskCount;
        nextTask_.store(0, std::memory_order_relaxed);
        doneTasks_.store(0, std::memory_order_relaxed);
        error_ = nullptr;
        activeWorkers_.store(static_cast<int>(workers_.size()), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    drain();
    // Wait until every worker has left this loop, so the task state can be reused safely.
    for (int spins = 0; activeWorkers_.load(std::memory_order_acquire) != 0; ++spins) {
        if (spins < 4000) {
            cpuRelax();
        } else {
            std::unique_lock lock(mutex_);
            finished_.wait(lock, [this] { return activeWorkers_.load(std::memory_order_acquire) == 0; });
        }
    }
    if (error_) {
        std::rethrow_exception(error_);
    }
}

void ThreadPool::workerLoop()
{
    std::uint64_t seen = 0;
    for (;;) {
        // Spin briefly first: a decoder step issues many short loops back to back.
        std::uint64_t current = generation_.load(std::memory_order_acquire);
        for (int spins = 0; current == seen && spins < 4000; ++spins) {
            cpuRelax();
            current = generation_.load(std::memory_order_acquire);
        }
        if (current == seen) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return generation_.load(std::memory_order_acquire) != seen; });
            current = generation_.load(std::memory_order_acquire);
        }
        seen = current;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        drain();
        if (activeWorkers_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(mutex_);
            finished_.notify_all();
        }
    }
}

} // namespace auralis::runtime
