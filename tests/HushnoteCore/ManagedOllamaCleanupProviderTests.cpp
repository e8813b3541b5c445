#include "HushnoteCore/CleanupOrchestrator.h"
#include "HushnoteCore/ManagedOllamaCleanupProvider.h"
#include "tests/Fakes/FakeOllamaProcess.h"
#include "tests/Support/AsyncTesting.h"

#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

namespace hushnote {
namespace {

using nlohmann::json;
using Status = CleanupRuntimeSnapshot::Status;

class ManagedOllamaCleanupProviderTest : public ::testing::Test {
protected:
    std::shared_ptr<ManagedOllamaCleanupProvider> provider(std::filesystem::path executable = testing::fakeOllamaExecutable())
    {
        server = std::make_shared<ManagedOllamaServer>(pool.get_executor(),
            ManagedOllamaConfiguration(std::move(executable), models, std::nullopt, testing::freeLoopbackPort()), session);
        return std::make_shared<ManagedOllamaCleanupProvider>(pool.get_executor(), server, "gemma4:e2b");
    }

    template <typename T>
    T run(asio::awaitable<T> operation)
    {
        return testing::runToCompletion(loop, std::move(operation));
    }

    testing::TemporaryDirectory directory;
    std::filesystem::path models = directory.path() / "models" / "ollama";
    testing::FakeOllamaRecords records{models};
    asio::io_context loop;
    asio::thread_pool pool{2};
    std::shared_ptr<LoopbackHttpSession> session = std::make_shared<LoopbackHttpSession>();
    std::shared_ptr<ManagedOllamaServer> server;
};

TEST_F(ManagedOllamaCleanupProviderTest, MissingExecutableShowsExactlyItsMessage)
{
    auto subject = provider(directory.path() / "no-such-ollama");
    const std::string endpoint = server->configuration().baseURL();
    EXPECT_EQ(run(subject->snapshot()),
        (CleanupRuntimeSnapshot{"managed-ollama", endpoint, "gemma4:e2b", std::nullopt, Status::unavailable, std::nullopt}));
    EXPECT_TRUE(testing::failureOf(loop, subject->prepare()));
    EXPECT_EQ(run(subject->snapshot()), (CleanupRuntimeSnapshot{"managed-ollama", endpoint, "gemma4:e2b", std::nullopt,
                                            Status::failed, "Bundled Ollama server binary is missing"}));
}

TEST_F(ManagedOllamaCleanupProviderTest, FailedStartCarriesTheServerOutput)
{
    records.control({{"neverHealthy", true}, {"crashAfterRequests", 1}, {"quiet", true},
        {"printLines", {"runner: no usable GPU", "runner: falling back"}}});
    auto subject = provider();
    EXPECT_TRUE(testing::failureOf(loop, subject->prepare()));
    const auto snapshot = run(subject->snapshot());
    EXPECT_EQ(snapshot.status, Status::failed);
    EXPECT_EQ(snapshot.version, std::nullopt);
    ASSERT_TRUE(snapshot.detail);
    EXPECT_TRUE(snapshot.detail->starts_with(
        "Managed Ollama server did not become healthy\nrunner: no usable GPU\nrunner: falling back"))
        << *snapshot.detail;
}

TEST_F(ManagedOllamaCleanupProviderTest, OrchestratedCleanUpAcceptsGoodAnswersAndRecordsEveryBadOne)
{
    auto subject = provider();
    CleanupOrchestrator orchestrator(pool.get_executor(), {subject}, CleanupGuard(1.75, 0.35, 0.7));

    const auto good = run(orchestrator.clean("ship it today", CleanupPrompt::v3()));
    EXPECT_EQ(good, (CleanupResult{"Ship it today.", "managed-ollama", false, std::nullopt, {}}));
    EXPECT_EQ(run(subject->snapshot()).detail, "Model was preloaded for fast cleanup");

    const std::string transcript = "meet  at 10:30 today with the whole team";
    const struct {
        const char* name;
        json settings;
        const char* type;
        int code;
    } cases[] = {
        {"blank answer", {{"chatContent", " \n \n"}}, "HushnoteCore.CleanupGuardFailure", 1},
        {"answer that grew", {{"chatContent", std::string(80, 'a') + " meet at 10:30 today with the whole team"}},
            "HushnoteCore.CleanupGuardFailure", 2},
        {"answer that shrank", {{"chatContent", "Meet."}}, "HushnoteCore.CleanupGuardFailure", 3},
        {"answer with other words", {{"chatContent", "Gather by half past ten, everyone, this morning."}},
            "HushnoteCore.CleanupGuardFailure", 4},
        {"answer that rewrote the time", {{"chatContent", "Meet at 10.30 today with the whole team."}},
            "HushnoteCore.CleanupGuardFailure", 0},
        {"HTTP error", {{"routes", {{"api/chat", {{"status", 500}, {"body", "runner crashed"}}}}}},
            "HushnoteCore.OllamaClientError", 0},
        {"redirect", {{"routes", {{"api/chat", {{"redirect", "http://127.0.0.2:9/api/chat"}}}}}},
            "HushnoteCore.OllamaClientError", 0},
        {"invalid JSON", {{"routes", {{"api/chat", {{"invalidJson", true}}}}}}, "HushnoteCore.JSONDecodingError", 0},
        {"body that is not UTF-8", {{"routes", {{"api/chat", {{"bodyHex", "7b226d657373616765223a22ff227d"}}}}}},
            "HushnoteCore.JSONDecodingError", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        records.control(c.settings);
        const auto result = run(orchestrator.clean(transcript, CleanupPrompt::v3()));
        EXPECT_EQ(result.text, "meet at 10:30 today with the whole team");
        EXPECT_EQ(result.provider, "raw-whisper");
        EXPECT_TRUE(result.usedRawFallback);
        EXPECT_EQ(result.fallbackReason, "No local cleanup provider returned a safe result");
        ASSERT_EQ(result.failures.size(), 1u);
        const auto& failure = result.failures[0];
        EXPECT_EQ(failure.provider, "managed-ollama");
        EXPECT_EQ(failure.errorType, c.type);
        EXPECT_EQ(failure.errorDomain, c.type);
        EXPECT_EQ(failure.errorCode, c.code);
        EXPECT_FALSE(failure.stackTrace.empty());
    }
    // One server launch served every dictation.
    EXPECT_EQ(records.launches().size(), 1u);
}

} // namespace
} // namespace hushnote
