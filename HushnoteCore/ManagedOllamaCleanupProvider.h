#pragma once

#include "Foundation/Async.h"
#include "HushnoteCore/CleanupProvider.h"
#include "HushnoteCore/ManagedOllamaServer.h"
#include "HushnoteCore/OllamaCleanupProvider.h"

#include <memory>
#include <string>

namespace hushnote {

// The provider Hushnote registers: starts the managed server, then delegates to an inner
// OllamaCleanupProvider named "managed-ollama", adding the server's recent output to failure
// details. Serialised on a strand of the executor given at construction.
class ManagedOllamaCleanupProvider final : public CleanupProvider {
public:
    // Throws LocalEndpointError when the server's base URL fails the loopback check.
    ManagedOllamaCleanupProvider(Executor executor, std::shared_ptr<ManagedOllamaServer> server, std::string model);

    // The inner provider's snapshot once it has begun preparing, this provider's own before.
    asio::awaitable<CleanupRuntimeSnapshot> snapshot() override;
    asio::awaitable<void> prepare() override;
    // Does not start the server: the orchestrator always prepares first.
    asio::awaitable<std::string> clean(std::string text, CleanupPrompt prompt) override;

    const std::shared_ptr<ManagedOllamaServer>& server() const { return server_; }

    static constexpr const char* kProviderName = "managed-ollama";

private:
    asio::awaitable<CleanupRuntimeSnapshot> snapshotOnStrand();
    asio::awaitable<void> prepareOnStrand();
    asio::awaitable<std::string> cleanOnStrand(std::string text, CleanupPrompt prompt);

    Strand strand_;
    const std::shared_ptr<ManagedOllamaServer> server_;
    const std::shared_ptr<OllamaCleanupProvider> provider_;
    CleanupRuntimeSnapshot runtime_;
};

} // namespace hushnote
