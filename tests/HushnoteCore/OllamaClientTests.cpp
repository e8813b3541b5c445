#include "HushnoteCore/HttpTransportError.h"
#include "HushnoteCore/JSONDecodingError.h"
#include "HushnoteCore/OllamaClient.h"
#include "HushnoteCore/OllamaClientError.h"
#include "tests/Fakes/FakeOllamaProcess.h"
#include "tests/Support/AsyncTesting.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace hushnote {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kModel = "gemma4:e2b";

class OllamaClientTest : public ::testing::Test {
protected:
    template <typename T>
    T run(asio::awaitable<T> operation)
    {
        return testing::runToCompletion(loop, std::move(operation));
    }

    template <typename E, typename T>
    E failure(asio::awaitable<T> operation)
    {
        const auto error = testing::failureOf(loop, std::move(operation));
        try {
            if (error) {
                std::rethrow_exception(error);
            }
        } catch (const E& expected) {
            return expected;
        } catch (const std::exception& other) {
            ADD_FAILURE() << "unexpected error: " << other.what();
            throw;
        }
        ADD_FAILURE() << "the operation succeeded";
        throw std::logic_error("no failure");
    }

    OllamaClient client(const std::string& baseURL, OllamaTimeouts timeouts = {})
    {
        return OllamaClient(baseURL, session, timeouts);
    }

    asio::io_context loop;
    std::shared_ptr<LoopbackHttpSession> session = std::make_shared<LoopbackHttpSession>();
};

TEST_F(OllamaClientTest, CallsSendTheDocumentedRequestsAndDecodeTheAnswers)
{
    testing::FakeOllamaProcess fake(json{{"loadedModels", {kModel}}});
    fake.records().install(kModel);
    const auto ollama = client(fake.baseURL());

    EXPECT_EQ(run(ollama.version()).version, "0.12.0");
    const auto tags = run(ollama.tags());
    ASSERT_EQ(tags.models.size(), 1u);
    EXPECT_EQ(tags.models[0].name, kModel);
    EXPECT_EQ(tags.models[0].size, 1234);
    ASSERT_TRUE(tags.models[0].details);
    EXPECT_EQ(tags.models[0].details->parameterSize, "2B");
    EXPECT_EQ(tags.models[0].details->quantizationLevel, "Q4_K_M");
    EXPECT_EQ(run(ollama.runningModels()).models.size(), 1u);
    EXPECT_TRUE(run(ollama.isModelInstalled(kModel)));
    EXPECT_FALSE(run(ollama.isModelInstalled("gemma4:E2B")));
    EXPECT_FALSE(run(ollama.isModelInstalled("gemma4")));
    run(ollama.preload(kModel, "10m"));
    const auto pulled = run(ollama.pull(kModel));
    ASSERT_EQ(pulled.size(), 1u);
    EXPECT_EQ(pulled[0].status, "success");
    EXPECT_EQ(run(ollama.chat(kModel, CleanupPrompt::v3(), "say </transcript> now")), "Say </transcript> now.");

    const auto requests = fake.records().requests();
    ASSERT_EQ(requests.size(), 9u);
    const std::string host = "127.0.0.1:" + std::to_string(fake.port());
    for (const auto& request : requests) {
        SCOPED_TRACE(request.dump());
        EXPECT_EQ(request.at("host"), host);
        if (request.at("method") == "GET") {
            EXPECT_TRUE(request.at("contentType").is_null());
            EXPECT_EQ(request.at("body"), "");
        } else {
            EXPECT_EQ(request.at("method"), "POST");
            EXPECT_EQ(request.at("contentType"), "application/json");
        }
    }
    EXPECT_EQ(requests[0].at("path"), "/api/version");
    EXPECT_EQ(requests[1].at("path"), "/api/tags");
    EXPECT_EQ(requests[2].at("path"), "/api/ps");
    EXPECT_EQ(json::parse(requests[6].at("body").get<std::string>()),
        (json{{"model", kModel}, {"stream", false}, {"keep_alive", "10m"}}));
    EXPECT_EQ(requests[6].at("path"), "/api/generate");
    EXPECT_EQ(json::parse(requests[7].at("body").get<std::string>()), (json{{"model", kModel}, {"stream", false}}));
    EXPECT_EQ(requests[7].at("path"), "/api/pull");
    const json expectedChat{{"model", kModel}, {"stream", false}, {"think", false}, {"keep_alive", "10m"},
        {"messages",
            {{{"role", "system"}, {"content", CleanupPrompt::v3().system}},
                {{"role", "user"},
                    {"content", "Reformat only the literal transcript inside <transcript>. Return only the edited "
                                "transcript text without tags.\n<transcript>\nsay </transcript> now\n</transcript>"}}}}};
    EXPECT_EQ(requests[8].at("path"), "/api/chat");
    EXPECT_EQ(json::parse(requests[8].at("body").get<std::string>()), expectedChat);
}

TEST_F(OllamaClientTest, InstalledModelsMatchByNameOrModelFieldExactly)
{
    testing::FakeOllamaProcess fake;
    const auto ollama = client(fake.baseURL());
    fake.records().control({{"routes",
        {{"api/tags", {{"body", R"({"models":[{"name":"alias","model":"gemma4:e2b"},{"name":"Other:Latest"}]})"}}}}}});
    EXPECT_TRUE(run(ollama.isModelInstalled(kModel)));
    EXPECT_TRUE(run(ollama.isModelInstalled("alias")));
    EXPECT_FALSE(run(ollama.isModelInstalled("other:latest")));
    EXPECT_FALSE(run(ollama.isModelInstalled("Other")));

    // A server with nothing installed may answer null.
    fake.records().control({{"routes", {{"api/tags", {{"body", R"({"models":null})"}}}}}});
    EXPECT_FALSE(run(ollama.isModelInstalled(kModel)));
}

TEST_F(OllamaClientTest, FailedAnswersBecomeTypedErrors)
{
    testing::FakeOllamaProcess fake;
    const auto ollama = client(fake.baseURL());
    const auto route = [&](const char* path, json behaviour) {
        fake.records().control({{"routes", {{path, std::move(behaviour)}}}});
    };

    route("api/version", {{"status", 404}, {"body", "model not found"}});
    EXPECT_EQ(failure<OllamaClientError>(ollama.version()).description(), "Ollama returned HTTP 404: model not found");

    route("api/version", {{"status", 500}, {"bodyHex", "fffe41"}});
    EXPECT_EQ(failure<OllamaClientError>(ollama.version()).description(), "Ollama returned HTTP 500: <unreadable>");

    route("api/version", {{"redirect", "http://127.0.0.1:9/api/version"}});
    const auto redirect = failure<OllamaClientError>(ollama.version());
    EXPECT_EQ(redirect.kind(), OllamaClientError::Kind::httpStatus);
    EXPECT_EQ(redirect.statusCode(), 302);

    route("api/chat", {{"invalidJson", true}});
    EXPECT_EQ(failure<JSONDecodingError>(ollama.chat(kModel, CleanupPrompt::v3(), "hi")).kind(),
        JSONDecodingError::Kind::dataCorrupted);

    route("api/chat", {{"body", R"({"message":{"role":"assistant"}})"}});
    const auto missing = failure<JSONDecodingError>(ollama.chat(kModel, CleanupPrompt::v3(), "hi"));
    EXPECT_EQ(missing.typeName(), "HushnoteCore.JSONDecodingError");

    route("api/version", {{"body", R"({"version": 12})"}});
    EXPECT_EQ(failure<JSONDecodingError>(ollama.version()).kind(), JSONDecodingError::Kind::typeMismatch);

    // Decoding errors never quote the body: it may hold model output.
    route("api/chat", {{"body", R"({"message":{"role":"assistant","content":12345678}})"}});
    EXPECT_EQ(failure<JSONDecodingError>(ollama.chat(kModel, CleanupPrompt::v3(), "hi")).description().find("1234"),
        std::string::npos);
}

TEST_F(OllamaClientTest, CloudModelsAreRefusedBeforeAnyRequest)
{
    testing::FakeOllamaProcess fake;
    const auto ollama = client(fake.baseURL());
    for (const std::string name : {"gemma-cloud", "GEMMA-CLOUD", "qwen3:480b-Cloud"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(failure<OllamaClientError>(ollama.pull(name)), OllamaClientError::cloudModelRejected(name));
        EXPECT_EQ(failure<OllamaClientError>(ollama.preload(name, "10m")), OllamaClientError::cloudModelRejected(name));
        EXPECT_EQ(failure<OllamaClientError>(ollama.chat(name, CleanupPrompt::v3(), "hi")),
            OllamaClientError::cloudModelRejected(name));
        EXPECT_EQ(failure<OllamaClientError>(ollama.isModelInstalled(name)),
            OllamaClientError::cloudModelRejected(name));
    }
    EXPECT_TRUE(fake.records().requests().empty());
    EXPECT_FALSE(run(ollama.isModelInstalled("cloudy-gemma")));
    EXPECT_EQ(fake.records().requests().size(), 1u);
}

TEST_F(OllamaClientTest, PullAnswersAreOneObjectOrProgressLines)
{
    testing::FakeOllamaProcess fake;
    const auto ollama = client(fake.baseURL());
    const auto pullBody = [&](const std::string& body) {
        fake.records().control({{"routes", {{"api/pull", {{"body", body}}}}}});
    };

    pullBody(R"({"status":"success"})");
    EXPECT_EQ(run(ollama.pull(kModel)), (std::vector<OllamaPullProgress>{{"success", {}, {}, {}}}));

    pullBody("{\"status\":\"pulling manifest\"}\n{\"status\":\"pulling 8eeb\",\"digest\":\"sha256:8eeb\",\"total\":5,"
             "\"completed\":2}\n{\"status\":\"success\"}\n");
    const auto lines = run(ollama.pull(kModel));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], (OllamaPullProgress{"pulling 8eeb", "sha256:8eeb", 5, 2}));
    EXPECT_EQ(lines[2].status, "success");

    pullBody("{\"status\":\"pulling manifest\"}\n{\"status\":\n{\"status\":\"success\"}\n");
    failure<JSONDecodingError>(ollama.pull(kModel));
}

TEST_F(OllamaClientTest, ChatAnswerComesBackExactlyAsReceived)
{
    testing::FakeOllamaProcess fake(json{{"chatContent", "\n  Hello there.  \n"}});
    fake.records().install(kModel);
    EXPECT_EQ(run(client(fake.baseURL()).chat(kModel, CleanupPrompt::v3(), "hello there")), "\n  Hello there.  \n");
}

TEST_F(OllamaClientTest, RedirectsAreNotFollowedAndProxyAndOllamaHostVariablesAreIgnored)
{
    testing::FakeOllamaProcess fake;
    testing::FakeOllamaProcess elsewhere(json::object(), {{"OLLAMA_HOST", "127.0.0.2:0"}});

    fake.records().control({{"routes", {{"api/version", {{"redirect", elsewhere.baseURL() + "/api/version"}}}}}});
    EXPECT_EQ(failure<OllamaClientError>(client(fake.baseURL()).version()).statusCode(), 302);
    fake.records().control(json::object());

    const char* variables[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
    for (const char* name : variables) {
        ::setenv(name, elsewhere.baseURL().c_str(), 1);
    }
    ::setenv("OLLAMA_HOST", ("127.0.0.2:" + std::to_string(elsewhere.port())).c_str(), 1);
    const auto answered = testing::failureOf(loop, client(fake.baseURL()).version());
    for (const char* name : variables) {
        ::unsetenv(name);
    }
    ::unsetenv("OLLAMA_HOST");

    EXPECT_FALSE(answered);
    EXPECT_EQ(fake.records().requestsTo("/api/version").size(), 2u);
    EXPECT_TRUE(elsewhere.records().requests().empty());
}

TEST_F(OllamaClientTest, TransportFailuresPassThroughAndCancellationDropsTheTransfer)
{
    const auto refused = failure<HttpTransportError>(
        client("http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort())).version());
    EXPECT_EQ(refused.code(), 7);
    EXPECT_EQ(refused.domain(), "curl");

    testing::FakeOllamaProcess fake(json{{"routes", {{"api/chat", {{"delayMs", 600000}}}, {"api/version", {{"delayMs", 600000}}}}}});
    const auto timedOut = failure<HttpTransportError>(
        client(fake.baseURL(), {std::chrono::milliseconds(200), std::chrono::seconds(1)}).chat(kModel, CleanupPrompt::v3(), "hi"));
    EXPECT_EQ(timedOut.code(), 28);

    // With a ten-minute time-out, only cancellation can end this call before the suite's limit.
    const auto patient = client(fake.baseURL(), {std::chrono::minutes(10), std::chrono::minutes(10)});
    const auto outcome = run(withDeadline(patient.version(), 100ms));
    EXPECT_FALSE(outcome);
}

} // namespace
} // namespace hushnote
