#include "HushnoteCore/CleanupOrchestrator.h"
#include "HushnoteCore/OllamaCleanupProvider.h"
#include "HushnoteCore/OllamaClientError.h"
#include "tests/Fakes/FakeOllamaProcess.h"
#include "tests/Support/AsyncTesting.h"

#include <asio/thread_pool.hpp>
#include <gtest/gtest.h>

namespace hushnote {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
using Status = CleanupRuntimeSnapshot::Status;

const std::string kModel = "gemma4:e2b";

class OllamaCleanupProviderTest : public ::testing::Test {
protected:
    std::shared_ptr<OllamaCleanupProvider> provider(const testing::FakeOllamaProcess& fake, OllamaTimeouts timeouts = {})
    {
        return std::make_shared<OllamaCleanupProvider>(
            pool.get_executor(), OllamaClient(fake.baseURL(), session, timeouts), kModel, "ollama");
    }

    template <typename T>
    T run(asio::awaitable<T> operation)
    {
        return testing::runToCompletion(loop, std::move(operation));
    }

    static std::vector<std::string> paths(const testing::FakeOllamaProcess& fake)
    {
        std::vector<std::string> out;
        for (const auto& request : fake.records().requests()) {
            out.push_back(request.at("path"));
        }
        return out;
    }

    asio::io_context loop;
    asio::thread_pool pool{2};
    std::shared_ptr<LoopbackHttpSession> session = std::make_shared<LoopbackHttpSession>();
};

TEST_F(OllamaCleanupProviderTest, LoadedModelIsReadyWithoutPullOrPreload)
{
    testing::FakeOllamaProcess fake(json{{"loadedModels", {kModel}}});
    fake.records().install(kModel);
    auto subject = provider(fake);
    EXPECT_EQ(run(subject->snapshot()),
        (CleanupRuntimeSnapshot{"ollama", fake.baseURL(), kModel, std::nullopt, Status::unavailable, std::nullopt}));

    run(subject->prepare());
    EXPECT_EQ(run(subject->snapshot()),
        (CleanupRuntimeSnapshot{"ollama", fake.baseURL(), kModel, "0.12.0", Status::ready, "Model is loaded"}));
    EXPECT_EQ(paths(fake), (std::vector<std::string>{"/api/version", "/api/tags", "/api/tags", "/api/ps"}));
}

asio::awaitable<bool> prepareAndFlag(std::shared_ptr<OllamaCleanupProvider> provider, bool& done)
{
    co_await provider->prepare();
    done = true;
    co_return true;
}

asio::awaitable<std::vector<CleanupRuntimeSnapshot>> watch(std::shared_ptr<OllamaCleanupProvider> provider, const bool& done)
{
    std::vector<CleanupRuntimeSnapshot> seen;
    while (!done) {
        seen.push_back(co_await provider->snapshot());
        co_await sleepFor(10ms);
    }
    co_return seen;
}

TEST_F(OllamaCleanupProviderTest, MissingModelIsPulledWhileTheSnapshotSaysSoThenPreloaded)
{
    testing::FakeOllamaProcess fake(json{{"routes", {{"api/pull", {{"delayMs", 400}}}}}});
    auto subject = provider(fake);
    bool done = false;
    const auto [prepared, seen] = run(prepareAndFlag(subject, done) && watch(subject, done));
    ASSERT_TRUE(prepared);

    const CleanupRuntimeSnapshot downloading{"ollama", fake.baseURL(), kModel, "0.12.0", Status::preparing,
        "Downloading local model"};
    EXPECT_NE(std::find(seen.begin(), seen.end(), downloading), seen.end());
    EXPECT_EQ(run(subject->snapshot()), (CleanupRuntimeSnapshot{"ollama", fake.baseURL(), kModel, "0.12.0",
                                            Status::ready, "Model was preloaded for fast cleanup"}));
    EXPECT_EQ(paths(fake), (std::vector<std::string>{"/api/version", "/api/tags", "/api/pull", "/api/tags", "/api/ps",
                               "/api/generate"}));
    const auto preload = json::parse(fake.records().requestsTo("/api/generate").at(0).at("body").get<std::string>());
    EXPECT_EQ(preload.at("keep_alive"), "10m");
}

TEST_F(OllamaCleanupProviderTest, PreparationFailuresAreRecordedInTheSnapshot)
{
    const struct {
        const char* name;
        json settings;
        bool installed;
        std::optional<std::string> version;
        Status status;
        std::string detail;
    } cases[] = {
        {"still missing after the pull", {{"pullInstalls", false}}, false, "0.12.0", Status::failed,
            "Ollama model is not installed: gemma4:e2b"},
        {"version call failing", {{"routes", {{"api/version", {{"status", 500}, {"body", "boom"}}}}}}, true,
            std::nullopt, Status::failed, "Ollama returned HTTP 500: boom"},
        {"tags call failing", {{"routes", {{"api/tags", {{"status", 503}, {"body", "busy"}}}}}}, true, "0.12.0",
            Status::failed, "Ollama returned HTTP 503: busy"},
        {"loaded-model call failing only costs a preload", {{"routes", {{"api/ps", {{"status", 500}}}}}}, true,
            "0.12.0", Status::ready, "Model was preloaded for fast cleanup"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::FakeOllamaProcess fake(c.settings);
        if (c.installed) {
            fake.records().install(kModel);
        }
        auto subject = provider(fake);
        const bool failed = testing::failureOf(loop, subject->prepare()) != nullptr;
        EXPECT_EQ(failed, c.status == Status::failed);
        EXPECT_EQ(run(subject->snapshot()),
            (CleanupRuntimeSnapshot{"ollama", fake.baseURL(), kModel, c.version, c.status, c.detail}));
    }
}

TEST_F(OllamaCleanupProviderTest, ChatTimeOutFallsBackToTheNormalisedTranscript)
{
    testing::FakeOllamaProcess fake(json{{"routes", {{"api/chat", {{"delayMs", 600000}}}}}});
    fake.records().install(kModel);
    auto subject = provider(fake, {200ms, 1s});
    // The short time-out holds for the preparation calls too; the fake answers those at once.
    CleanupOrchestrator orchestrator(pool.get_executor(), {subject}, CleanupGuard(1.75, 0.35, 0.7));
    const auto result = run(orchestrator.clean("ship it   today", CleanupPrompt::v3()));
    EXPECT_EQ(result.text, "ship it today");
    EXPECT_TRUE(result.usedRawFallback);
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(result.failures[0].provider, "ollama");
    EXPECT_EQ(result.failures[0].errorType, "HushnoteCore.HttpTransportError");
    EXPECT_EQ(result.failures[0].errorDomain, "curl");
    EXPECT_EQ(result.failures[0].errorCode, 28);
    // A failed clean-up leaves the provider's own state alone.
    EXPECT_EQ(run(subject->snapshot()).status, Status::ready);
}

} // namespace
} // namespace hushnote
