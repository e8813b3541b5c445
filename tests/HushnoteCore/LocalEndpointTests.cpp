#include "HushnoteCore/LocalEndpoint.h"
#include "HushnoteCore/LocalEndpointError.h"
#include "HushnoteCore/ManagedOllamaServerError.h"
#include "HushnoteCore/OllamaClientError.h"

#include <gtest/gtest.h>

#include <optional>
#include <unordered_set>

namespace hushnote {
namespace {

TEST(LocalEndpoint, AcceptsOnlyPlainHttpOnLoopbackAndKeepsTheURL)
{
    const struct {
        const char* url;
        std::optional<const char*> refusal;
    } cases[] = {
        {"http://127.0.0.1:11434", std::nullopt},
        {"HTTP://LOCALHOST:1234", std::nullopt},
        {"http://[::1]:8080/base", std::nullopt},
        {"http://localhost", std::nullopt},
        {"https://127.0.0.1:11434", "Only loopback HTTP endpoints are supported"},
        {"ftp://localhost/", "Only loopback HTTP endpoints are supported"},
        {"127.0.0.1:11434", "Only loopback HTTP endpoints are supported"},
        {"", "Only loopback HTTP endpoints are supported"},
        {"http://192.168.1.20:11434", "Cleanup endpoint must use loopback, received 192.168.1.20"},
        {"http://127.0.0.1.example.com", "Cleanup endpoint must use loopback, received 127.0.0.1.example.com"},
        {"http://127.0.0.1@example.com/", "Cleanup endpoint must use loopback, received example.com"},
        {"http://[fe80::1]:80", "Cleanup endpoint must use loopback, received fe80::1"},
        {"http://", "Cleanup endpoint must use loopback, received missing host"},
        {"http:///api", "Cleanup endpoint must use loopback, received missing host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        try {
            const LocalEndpoint endpoint(c.url);
            EXPECT_FALSE(c.refusal) << "accepted";
            EXPECT_EQ(endpoint.url(), c.url);
        } catch (const LocalEndpointError& error) {
            ASSERT_TRUE(c.refusal) << error.description();
            EXPECT_EQ(error.description(), *c.refusal);
        }
    }
}

TEST(LocalEndpoint, AppendsPathsAfterTheBasePathAndHashesByURL)
{
    const LocalEndpoint root("http://127.0.0.1:4000");
    EXPECT_EQ(root.appending("api/tags"), "http://127.0.0.1:4000/api/tags");
    EXPECT_EQ(root.appending("/api/tags/"), "http://127.0.0.1:4000/api/tags");
    EXPECT_EQ(LocalEndpoint("http://localhost:4000/base/").appending("//api/ps"), "http://localhost:4000/base/api/ps");
    EXPECT_EQ(LocalEndpoint("http://localhost:4000/base").appending("api/ps"), "http://localhost:4000/base/api/ps");

    std::unordered_set<LocalEndpoint> set{root, LocalEndpoint("http://127.0.0.1:4000")};
    EXPECT_EQ(set.size(), 1u);
    EXPECT_FALSE(root == LocalEndpoint("http://localhost:4000"));
}

TEST(CleanupErrors, EveryCaseCarriesItsTextTypeAndCode)
{
    const struct {
        const Error& error;
        const char* type;
        int code;
        const char* text;
    } cases[] = {
        {LocalEndpointError::remoteHost("10.0.0.2"), "HushnoteCore.LocalEndpointError", 0,
            "Cleanup endpoint must use loopback, received 10.0.0.2"},
        {LocalEndpointError::remoteHost(std::nullopt), "HushnoteCore.LocalEndpointError", 0,
            "Cleanup endpoint must use loopback, received missing host"},
        {LocalEndpointError::unsupportedScheme(), "HushnoteCore.LocalEndpointError", 1,
            "Only loopback HTTP endpoints are supported"},
        {OllamaClientError::httpStatus(404, "model not found"), "HushnoteCore.OllamaClientError", 0,
            "Ollama returned HTTP 404: model not found"},
        {OllamaClientError::modelNotInstalled("gemma4:e2b"), "HushnoteCore.OllamaClientError", 1,
            "Ollama model is not installed: gemma4:e2b"},
        {OllamaClientError::cloudModelRejected("x-cloud"), "HushnoteCore.OllamaClientError", 2,
            "Cloud Ollama models are disabled: x-cloud"},
        {OllamaClientError::invalidResponse(), "HushnoteCore.OllamaClientError", 3,
            "Ollama returned an invalid response"},
        {ManagedOllamaServerError(ManagedOllamaServerError::Kind::binaryMissing),
            "HushnoteCore.ManagedOllamaServerError", 0, "Bundled Ollama server binary is missing"},
        {ManagedOllamaServerError(ManagedOllamaServerError::Kind::failedToStart),
            "HushnoteCore.ManagedOllamaServerError", 1, "Managed Ollama server failed to start"},
        {ManagedOllamaServerError(ManagedOllamaServerError::Kind::unhealthy),
            "HushnoteCore.ManagedOllamaServerError", 2, "Managed Ollama server did not become healthy"},
        {ManagedOllamaServerError(ManagedOllamaServerError::Kind::restartLimitReached),
            "HushnoteCore.ManagedOllamaServerError", 3, "Managed Ollama server exceeded its one-restart limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.error.description(), c.text);
        EXPECT_EQ(c.error.typeName(), c.type);
        EXPECT_EQ(c.error.domain(), c.type);
        EXPECT_EQ(c.error.code(), c.code);
    }
}

} // namespace
} // namespace hushnote
