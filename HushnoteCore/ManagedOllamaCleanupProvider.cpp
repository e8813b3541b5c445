#include "HushnoteCore/ManagedOllamaCleanupProvider.h"

namespace hushnote {

using Status = CleanupRuntimeSnapshot::Status;

ManagedOllamaCleanupProvider::ManagedOllamaCleanupProvider(
    Executor executor, std::shared_ptr<ManagedOllamaServer> server, std::string model)
    : strand_(asio::make_strand(executor))
    , server_(std::move(server))
    , provider_(std::make_shared<OllamaCleanupProvider>(executor, server_->client(), model, kProviderName))
    , runtime_{kProviderName, server_->configuration().baseURL(), std::move(model), std::nullopt,
          Status::unavailable, std::nullopt}
{
}

asio::awaitable<CleanupRuntimeSnapshot> ManagedOllamaCleanupProvider::snapshot()
{
    co_return co_await asio::co_spawn(strand_, snapshotOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> ManagedOllamaCleanupProvider::prepare()
{
    co_await asio::co_spawn(strand_, prepareOnStrand(), asio::use_awaitable);
}

asio::awaitable<std::string> ManagedOllamaCleanupProvider::clean(std::string text, CleanupPrompt prompt)
{
    co_return co_await asio::co_spawn(strand_, cleanOnStrand(std::move(text), std::move(prompt)), asio::use_awaitable);
}

asio::awaitable<CleanupRuntimeSnapshot> ManagedOllamaCleanupProvider::snapshotOnStrand()
{
    auto inner = co_await provider_->snapshot();
    if (inner.status != Status::unavailable) {
        co_return inner;
    }
    co_return runtime_;
}

asio::awaitable<void> ManagedOllamaCleanupProvider::prepareOnStrand()
{
    runtime_.status = Status::preparing;
    runtime_.version.reset();
    runtime_.detail.reset();
    std::exception_ptr error;
    try {
        co_await server_->ensureStarted();
        co_await provider_->prepare();
    } catch (...) {
        error = std::current_exception();
    }
    if (!error) {
        runtime_ = co_await provider_->snapshot();
        co_return;
    }
    const auto detail = co_await server_->diagnosticDetail(error);
    runtime_.status = Status::failed;
    runtime_.version.reset();
    runtime_.detail = detail;
    std::rethrow_exception(error);
}

asio::awaitable<std::string> ManagedOllamaCleanupProvider::cleanOnStrand(std::string text, CleanupPrompt prompt)
{
    co_return co_await provider_->clean(std::move(text), std::move(prompt));
}

} // namespace hushnote
