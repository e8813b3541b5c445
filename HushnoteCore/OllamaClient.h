#pragma once

#include "HushnoteCore/CleanupTypes.h"
#include "HushnoteCore/LocalEndpoint.h"
#include "HushnoteCore/LoopbackHttpSession.h"
#include "HushnoteCore/OllamaRecords.h"

#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

// Time-outs of the Ollama calls: every call but the pull, and the pull.
struct OllamaTimeouts {
    std::chrono::milliseconds request{std::chrono::seconds(12)};
    std::chrono::milliseconds pull{std::chrono::seconds(3600)};
};

// The loopback Ollama API. An immutable value; copies are interchangeable and any thread may
// use one. Every call throws OllamaClientError for refused models and non-2xx answers,
// JSONDecodingError for bodies that do not decode, and HttpTransportError (or
// operation_aborted) when no answer arrived. Nothing is logged: the transcript and the
// answer only travel as argument and result.
class OllamaClient {
public:
    // Throws LocalEndpointError when `baseURL` is not plain http on loopback.
    OllamaClient(std::string baseURL, std::shared_ptr<LoopbackHttpSession> session, OllamaTimeouts timeouts = {});

    const LocalEndpoint& endpoint() const { return endpoint_; }
    const std::shared_ptr<LoopbackHttpSession>& session() const { return session_; }
    const OllamaTimeouts& timeouts() const { return timeouts_; }

    asio::awaitable<OllamaVersion> version() const;
    asio::awaitable<OllamaTagsResponse> tags() const;
    asio::awaitable<OllamaProcessResponse> runningModels() const;
    asio::awaitable<std::vector<OllamaPullProgress>> pull(std::string model) const;
    asio::awaitable<void> preload(std::string model, std::string keepAlive) const;
    asio::awaitable<std::string> chat(std::string model, CleanupPrompt prompt, std::string transcript) const;
    asio::awaitable<bool> isModelInstalled(std::string name) const;

private:
    asio::awaitable<std::string> request(std::string path, std::string method, std::optional<std::string> body,
        std::chrono::milliseconds timeout) const;

    LocalEndpoint endpoint_;
    std::shared_ptr<LoopbackHttpSession> session_;
    OllamaTimeouts timeouts_;
};

} // namespace hushnote
