#include "HushnoteCore/OllamaCleanupProvider.h"

#include "HushnoteCore/OllamaClientError.h"

namespace hushnote {

using Status = CleanupRuntimeSnapshot::Status;

OllamaCleanupProvider::OllamaCleanupProvider(
    Executor executor, OllamaClient client, std::string model, std::string providerName)
    : strand_(asio::make_strand(std::move(executor)))
    , client_(std::move(client))
    , model_(std::move(model))
    , providerName_(std::move(providerName))
    , runtime_{providerName_, client_.endpoint().url(), model_, std::nullopt, Status::unavailable, std::nullopt}
{
}

asio::awaitable<CleanupRuntimeSnapshot> OllamaCleanupProvider::snapshot()
{
    co_return co_await asio::co_spawn(strand_, snapshotOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> OllamaCleanupProvider::prepare()
{
    co_await asio::co_spawn(strand_, prepareOnStrand(), asio::use_awaitable);
}

asio::awaitable<std::string> OllamaCleanupProvider::clean(std::string text, CleanupPrompt prompt)
{
    co_return co_await asio::co_spawn(strand_, cleanOnStrand(std::move(text), std::move(prompt)), asio::use_awaitable);
}

asio::awaitable<CleanupRuntimeSnapshot> OllamaCleanupProvider::snapshotOnStrand() { co_return runtime_; }

void OllamaCleanupProvider::setRuntime(
    Status status, std::optional<std::string> version, std::optional<std::string> detail)
{
    runtime_.status = status;
    runtime_.version = std::move(version);
    runtime_.detail = std::move(detail);
}

asio::awaitable<void> OllamaCleanupProvider::prepareOnStrand()
{
    setRuntime(Status::preparing, std::nullopt, std::nullopt);
    std::optional<std::string> version;
    std::exception_ptr error;
    try {
        version = (co_await client_.version()).version;
        if (!co_await client_.isModelInstalled(model_)) {
            setRuntime(Status::preparing, version, "Downloading local model");
            co_await client_.pull(model_);
        }
        if (!co_await client_.isModelInstalled(model_)) {
            throw OllamaClientError::modelNotInstalled(model_);
        }
        bool loaded = false;
        try {
            const auto running = co_await client_.runningModels();
            for (const auto& model : running.models) {
                loaded = loaded || model.name == model_ || model.model == model_;
            }
        } catch (const std::exception&) {
            // Not knowing what is loaded only costs a preload.
        }
        if (loaded) {
            setRuntime(Status::ready, version, "Model is loaded");
            co_return;
        }
        co_await client_.preload(model_, kKeepAlive);
        setRuntime(Status::ready, version, "Model was preloaded for fast cleanup");
    } catch (...) {
        error = std::current_exception();
    }
    if (error) {
        setRuntime(Status::failed, version, describeError(error).description);
        std::rethrow_exception(error);
    }
}

asio::awaitable<std::string> OllamaCleanupProvider::cleanOnStrand(std::string text, CleanupPrompt prompt)
{
    co_return co_await client_.chat(model_, std::move(prompt), std::move(text));
}

} // namespace hushnote
