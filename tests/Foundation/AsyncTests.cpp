#include "Foundation/Async.h"
#include "Foundation/MainLoop.h"

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace hushnote {
namespace {

using namespace std::chrono_literals;

asio::awaitable<std::thread::id> blockingThreadId(Executor pool)
{
    co_return co_await runBlocking(pool, [] { return std::this_thread::get_id(); });
}

asio::awaitable<void> checkResumesOnCaller(Executor pool, std::thread::id loopThread, bool& done)
{
    const auto workerThread = co_await blockingThreadId(pool);
    EXPECT_NE(workerThread, loopThread);
    EXPECT_EQ(std::this_thread::get_id(), loopThread);
    EXPECT_THROW(co_await runBlocking(pool, []() -> int { throw std::runtime_error("boom"); }),
        std::runtime_error);
    EXPECT_EQ(std::this_thread::get_id(), loopThread);
    done = true;
}

TEST(RunBlocking, RunsOffTheLoopAndResumesOnIt)
{
    asio::io_context loop;
    asio::thread_pool pool(1);
    bool done = false;
    std::thread::id loopThread;
    asio::co_spawn(loop, checkResumesOnCaller(pool.get_executor(), std::this_thread::get_id(), done),
        [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
    loopThread = std::this_thread::get_id();
    loop.run();
    EXPECT_TRUE(done);
}

asio::awaitable<int> slowValue(std::chrono::milliseconds delay, int value)
{
    co_await sleepFor(delay);
    co_return value;
}

asio::awaitable<void> checkDeadlines(std::optional<int>& fast, std::optional<int>& slow)
{
    fast = co_await withDeadline(slowValue(1ms, 7), 5s);
    slow = co_await withDeadline(slowValue(5s, 9), 10ms);
}

TEST(WithDeadline, ReturnsTheValueOrNothingWhenTheDeadlinePasses)
{
    asio::io_context loop;
    std::optional<int> fast;
    std::optional<int> slow = 1;
    asio::co_spawn(loop, checkDeadlines(fast, slow),
        [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
    const auto started = std::chrono::steady_clock::now();
    loop.run();
    EXPECT_EQ(fast, 7);
    EXPECT_EQ(slow, std::nullopt);
    // The slow operation was cancelled rather than awaited to its end.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

// Stands in for the Qt event loop: a queue drained on the thread that calls runUntil().
class QueueBackend : public LoopBackend {
public:
    void post(std::function<void()> task) override
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        tasks_.push_back(std::move(task));
        ready_.notify_one();
    }
    void close() override
    {
        std::deque<std::function<void()>> dropped;
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(tasks_);
    }

    void runUntil(const bool& flag)
    {
        while (!flag) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                if (!ready_.wait_for(lock, 5s, [&] { return !tasks_.empty(); })) {
                    ADD_FAILURE() << "loop starved";
                    return;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    bool closed_ = false;
};

asio::awaitable<void> onForeignLoop(Executor pool, Strand strand, std::thread::id loopThread, bool& done)
{
    co_await sleepFor(5ms);
    EXPECT_EQ(std::this_thread::get_id(), loopThread);
    const int onStrand = co_await asio::co_spawn(strand, slowValue(1ms, 3), asio::use_awaitable);
    EXPECT_EQ(onStrand, 3);
    EXPECT_EQ(std::this_thread::get_id(), loopThread);
    co_await runBlocking(pool, [] {});
    EXPECT_EQ(std::this_thread::get_id(), loopThread);
    done = true;
}

TEST(MainLoopContext, CoroutinesTimersAndStrandsResumeOnTheForeignLoop)
{
    QueueBackend backend;
    MainLoopContext context(backend);
    asio::thread_pool pool(1);
    Executor loop = context.get_executor();
    bool done = false;
    asio::co_spawn(loop,
        onForeignLoop(pool.get_executor(), asio::make_strand(pool.get_executor()),
            std::this_thread::get_id(), done),
        [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
    backend.runUntil(done);
    EXPECT_TRUE(done);
}

asio::awaitable<void> throwsLater()
{
    co_await sleepFor(1ms);
    throw std::runtime_error("escaped");
}

TEST(Spawn, HandsEscapedExceptionsToTheHandler)
{
    asio::io_context loop;
    std::string seen;
    spawn(loop.get_executor(), throwsLater(), [&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& error) {
            seen = error.what();
        }
    });
    loop.run();
    EXPECT_EQ(seen, "escaped");
}

} // namespace
} // namespace hushnote
