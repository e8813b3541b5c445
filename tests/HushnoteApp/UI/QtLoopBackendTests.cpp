#include "HushnoteApp/UI/QtLoopBackend.h"
#include "tests/HushnoteApp/UI/QtTestSupport.h"

#include "Foundation/Async.h"

#include <QThread>

#include <gtest/gtest.h>

#include <thread>

namespace hushnote {
namespace {

using namespace std::chrono_literals;

asio::awaitable<void> sleepThenRecord(std::vector<std::string>& trace, Qt::HANDLE guiThread)
{
    trace.push_back(QThread::currentThreadId() == guiThread ? "start on GUI" : "start elsewhere");
    co_await sleepFor(20ms);
    trace.push_back(QThread::currentThreadId() == guiThread ? "timer on GUI" : "timer elsewhere");
    const int value = co_await runBlocking(asio::system_executor(), [] { return 42; });
    trace.push_back(QThread::currentThreadId() == guiThread && value == 42 ? "resumed on GUI" : "resumed elsewhere");
}

TEST(QtLoopBackend, CoroutinesTimersAndBlockingWorkResumeOnTheGuiThread)
{
    ui::QtLoopBackend backend;
    MainLoopContext context(backend);
    std::vector<std::string> trace;
    spawn(context.get_executor(), sleepThenRecord(trace, QThread::currentThreadId()), [](std::exception_ptr) {});
    asio::post(context.get_executor(), [&] { trace.push_back("posted"); });
    ASSERT_TRUE(testing::spinUntil([&] { return trace.size() == 4; }));
    EXPECT_EQ(trace, (std::vector<std::string>{"start on GUI", "posted", "timer on GUI", "resumed on GUI"}));
}

TEST(QtLoopBackend, WorkPostedFromOtherThreadsRunsOnTheGuiThreadInOrder)
{
    ui::QtLoopBackend backend;
    MainLoopContext context(backend);
    const auto guiThread = QThread::currentThreadId();
    std::vector<int> order;
    bool allOnGui = true;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            asio::post(context.get_executor(), [&, i] {
                allOnGui = allOnGui && QThread::currentThreadId() == guiThread;
                order.push_back(i);
            });
        }
    });
    poster.join();
    ASSERT_TRUE(testing::spinUntil([&] { return order.size() == 100; }));
    EXPECT_TRUE(allOnGui);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(QtLoopBackend, ClosingDropsQueuedAndLaterWork)
{
    ui::QtLoopBackend backend;
    MainLoopContext context(backend);
    auto counter = std::make_shared<int>(0);
    asio::post(context.get_executor(), [counter] { ++*counter; });
    backend.close();
    asio::post(context.get_executor(), [counter] { ++*counter; });
    testing::spinUntil([] { return false; }, 50ms);
    EXPECT_EQ(*counter, 0);
    EXPECT_EQ(counter.use_count(), 1) << "dropped work is destroyed, not leaked";
}

} // namespace
} // namespace hushnote
