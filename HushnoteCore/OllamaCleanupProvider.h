#pragma once

#include "Foundation/Async.h"
#include "HushnoteCore/CleanupProvider.h"
#include "HushnoteCore/OllamaClient.h"

#include <string>

namespace hushnote {

// Cleans transcripts with a model of an Ollama endpoint, making sure first that the model is
// installed (pulling it when missing) and loaded. Serialised: every operation runs on a
// strand of the executor given at construction. While prepare() waits on the server, a
// snapshot() shows its intermediate state.
class OllamaCleanupProvider final : public CleanupProvider {
public:
    OllamaCleanupProvider(Executor executor, OllamaClient client, std::string model, std::string providerName);

    asio::awaitable<CleanupRuntimeSnapshot> snapshot() override;
    // Throws the failing call's error after recording it in the snapshot.
    asio::awaitable<void> prepare() override;
    asio::awaitable<std::string> clean(std::string text, CleanupPrompt prompt) override;

    const OllamaClient& client() const { return client_; }
    const std::string& model() const { return model_; }

    static constexpr const char* kKeepAlive = "10m";

private:
    asio::awaitable<CleanupRuntimeSnapshot> snapshotOnStrand();
    asio::awaitable<void> prepareOnStrand();
    asio::awaitable<std::string> cleanOnStrand(std::string text, CleanupPrompt prompt);
    void setRuntime(CleanupRuntimeSnapshot::Status status, std::optional<std::string> version,
        std::optional<std::string> detail);

    Strand strand_;
    const OllamaClient client_;
    const std::string model_;
    const std::string providerName_;
    CleanupRuntimeSnapshot runtime_;
};

} // namespace hushnote
