#include "HushnoteCore/CleanupOrchestrator.h"
#include "HushnoteCore/CleanupGuardFailure.h"

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

namespace hushnote {
namespace {

struct ProviderError : Error {
    std::string description() const override { return "runtime is down"; }
    std::string typeName() const override { return "HushnoteCore.TestProviderError"; }
    int code() const override { return 7; }
};

// A provider with a script: prepare may fail, clean answers `answer` or fails. Its own strand
// makes it a serialised object like the real ones.
class ScriptedProvider final : public CleanupProvider {
public:
    ScriptedProvider(Executor executor, std::string name) : strand_(asio::make_strand(executor)), name_(std::move(name)) {}

    asio::awaitable<CleanupRuntimeSnapshot> snapshot() override
    {
        co_return co_await asio::co_spawn(strand_, snapshotOnStrand(), asio::use_awaitable);
    }
    asio::awaitable<void> prepare() override
    {
        co_await asio::co_spawn(strand_, prepareOnStrand(), asio::use_awaitable);
    }
    asio::awaitable<std::string> clean(std::string text, CleanupPrompt prompt) override
    {
        co_return co_await asio::co_spawn(strand_, cleanOnStrand(std::move(text), std::move(prompt)), asio::use_awaitable);
    }

    std::exception_ptr prepareError;
    std::exception_ptr cleanError;
    std::string answer;
    // The name its snapshot reports once it has failed, to tell which snapshot was read.
    std::optional<std::string> nameAfterFailure;
    int prepareCalls = 0;
    std::vector<std::string> received;
    std::vector<CleanupPrompt> prompts;

private:
    asio::awaitable<CleanupRuntimeSnapshot> snapshotOnStrand()
    {
        CleanupRuntimeSnapshot snapshot{name_, "http://127.0.0.1:1", "gemma4:e2b", std::nullopt,
            CleanupRuntimeSnapshot::Status::ready, std::nullopt};
        if (failed_ && nameAfterFailure) {
            snapshot.provider = *nameAfterFailure;
        }
        co_return snapshot;
    }
    asio::awaitable<void> prepareOnStrand()
    {
        ++prepareCalls;
        if (prepareError) {
            failed_ = true;
            std::rethrow_exception(prepareError);
        }
        co_return;
    }
    asio::awaitable<std::string> cleanOnStrand(std::string text, CleanupPrompt prompt)
    {
        received.push_back(text);
        prompts.push_back(prompt);
        if (cleanError) {
            failed_ = true;
            std::rethrow_exception(cleanError);
        }
        co_return answer;
    }

    Strand strand_;
    std::string name_;
    bool failed_ = false;
};

class CleanupOrchestratorTest : public ::testing::Test {
protected:
    template <typename T>
    T run(asio::awaitable<T> operation)
    {
        std::optional<T> result;
        asio::co_spawn(loop, std::move(operation), [&](std::exception_ptr error, T value) {
            if (error) {
                std::rethrow_exception(error);
            }
            result = std::move(value);
        });
        loop.run();
        loop.restart();
        return std::move(*result);
    }

    std::shared_ptr<ScriptedProvider> provider(std::string name)
    {
        return std::make_shared<ScriptedProvider>(pool.get_executor(), std::move(name));
    }

    CleanupOrchestrator orchestrator(std::vector<std::shared_ptr<CleanupProvider>> providers)
    {
        return CleanupOrchestrator(pool.get_executor(), std::move(providers), CleanupGuard(1.75, 0.35, 0.7));
    }

    asio::io_context loop;
    asio::thread_pool pool{2};
};

TEST_F(CleanupOrchestratorTest, WithoutProvidersTheNormalisedTextComesBack)
{
    auto subject = orchestrator({});
    const auto result = run(subject.clean("Um, so we ship it.", CleanupPrompt::v3()));
    EXPECT_EQ(result, (CleanupResult{"Um, so we ship it.", "raw-whisper", true,
                          "No local cleanup provider returned a safe result", {}}));

    const auto corrected = run(subject.clean("Ship Monday.  Scratch that.   Ship Tuesday.", CleanupPrompt::v3()));
    EXPECT_EQ(corrected.text, "Ship Tuesday.");
    EXPECT_TRUE(run(subject.snapshots()).empty());
    EXPECT_EQ(run(subject.prepareFirstAvailable()), std::nullopt);
}

TEST_F(CleanupOrchestratorTest, FailedPreparationMovesOnAndTheNextAcceptedOutputWins)
{
    auto first = provider("first");
    first->prepareError = std::make_exception_ptr(ProviderError());
    first->nameAfterFailure = "first-after-failure";
    auto second = provider("second");
    second->answer = "\nLet's meet at 2pm.\n";
    auto subject = orchestrator({first, second});

    const auto result = run(subject.clean("Let's meet at 1pm. Scratch that. let's meet at 2pm", CleanupPrompt::v3()));

    EXPECT_EQ(result.text, "Let's meet at 2pm.");
    EXPECT_EQ(result.provider, "second");
    EXPECT_FALSE(result.usedRawFallback);
    EXPECT_EQ(result.fallbackReason, std::nullopt);
    ASSERT_EQ(result.failures.size(), 1u);
    const auto& failure = result.failures.front();
    EXPECT_EQ(failure.provider, "first-after-failure");
    EXPECT_EQ(failure.errorType, "HushnoteCore.TestProviderError");
    EXPECT_EQ(failure.errorDomain, "HushnoteCore.TestProviderError");
    EXPECT_EQ(failure.errorCode, 7);
    EXPECT_NE(failure.stackTrace, "");
    EXPECT_NE(failure.stackTrace.back(), '\n');

    EXPECT_TRUE(first->received.empty()) << "clean must not follow a failed prepare";
    EXPECT_EQ(second->received, std::vector<std::string>{"let's meet at 2pm"});
    EXPECT_EQ(second->prompts.at(0), CleanupPrompt::v3());
}

TEST_F(CleanupOrchestratorTest, WhenEveryProviderFailsTheFailuresAreListedInOrder)
{
    auto rejected = provider("rejected");
    rejected->answer = "This answer is far, far longer than the transcript it was asked to tidy up.";
    auto broken = provider("broken");
    broken->cleanError = std::make_exception_ptr(std::runtime_error("socket closed"));
    auto subject = orchestrator({rejected, broken});

    const auto result = run(subject.clean("ship it now", CleanupPrompt::v3()));

    EXPECT_EQ(result.text, "ship it now");
    EXPECT_EQ(result.provider, "raw-whisper");
    EXPECT_TRUE(result.usedRawFallback);
    EXPECT_EQ(result.fallbackReason, "No local cleanup provider returned a safe result");
    ASSERT_EQ(result.failures.size(), 2u);
    EXPECT_EQ(result.failures[0].provider, "rejected");
    EXPECT_EQ(result.failures[0].errorType, "HushnoteCore.CleanupGuardFailure");
    EXPECT_EQ(result.failures[0].errorCode, 2);
    EXPECT_EQ(result.failures[1].provider, "broken");
    EXPECT_EQ(result.failures[1].errorType, "std::runtime_error");
    EXPECT_EQ(rejected->received, std::vector<std::string>{"ship it now"});
    EXPECT_EQ(broken->received, std::vector<std::string>{"ship it now"});
}

TEST_F(CleanupOrchestratorTest, AnEmptyNormalisedTranscriptIsWhatProvidersReceive)
{
    auto only = provider("only");
    only->answer = "x";
    auto subject = orchestrator({only});
    const auto result = run(subject.clean("Hello world. Scratch that.", CleanupPrompt::v3()));
    EXPECT_EQ(only->received, std::vector<std::string>{""});
    EXPECT_EQ(result.text, "x");
    EXPECT_FALSE(result.usedRawFallback);
}

TEST_F(CleanupOrchestratorTest, PrepareFirstAvailableReturnsTheFirstPreparedSnapshotAndDropsErrors)
{
    auto failing = provider("failing");
    failing->prepareError = std::make_exception_ptr(ProviderError());
    auto ready = provider("ready");
    auto after = provider("after");

    auto lone = orchestrator({failing});
    EXPECT_EQ(run(lone.prepareFirstAvailable()), std::nullopt);
    EXPECT_EQ(failing->prepareCalls, 1);

    auto subject = orchestrator({failing, ready, after});
    const auto snapshot = run(subject.prepareFirstAvailable());
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->provider, "ready");
    EXPECT_EQ(after->prepareCalls, 0);

    const auto snapshots = run(subject.snapshots());
    ASSERT_EQ(snapshots.size(), 3u);
    EXPECT_EQ(snapshots[0].provider, "failing");
    EXPECT_EQ(snapshots[1].provider, "ready");
    EXPECT_EQ(snapshots[2].provider, "after");
}

} // namespace
} // namespace hushnote
