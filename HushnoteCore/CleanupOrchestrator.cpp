#include "HushnoteCore/CleanupOrchestrator.h"

#include "Foundation/StackTrace.h"
#include "HushnoteCore/SpokenCorrectionNormalizer.h"

namespace hushnote {

CleanupOrchestrator::CleanupOrchestrator(
    Executor executor, std::vector<std::shared_ptr<CleanupProvider>> providers, CleanupGuard guardrail)
    : strand_(asio::make_strand(std::move(executor)))
    , providers_(std::move(providers))
    , guardrail_(guardrail)
{
}

asio::awaitable<CleanupResult> CleanupOrchestrator::clean(std::string text, CleanupPrompt prompt)
{
    co_return co_await asio::co_spawn(
        strand_, cleanOnStrand(std::move(text), std::move(prompt)), asio::use_awaitable);
}

asio::awaitable<std::vector<CleanupRuntimeSnapshot>> CleanupOrchestrator::snapshots()
{
    co_return co_await asio::co_spawn(strand_, snapshotsOnStrand(), asio::use_awaitable);
}

asio::awaitable<std::optional<CleanupRuntimeSnapshot>> CleanupOrchestrator::prepareFirstAvailable()
{
    co_return co_await asio::co_spawn(strand_, prepareFirstAvailableOnStrand(), asio::use_awaitable);
}

asio::awaitable<CleanupResult> CleanupOrchestrator::cleanOnStrand(std::string text, CleanupPrompt prompt)
{
    const std::string transcript = SpokenCorrectionNormalizer::normalize(text);
    std::vector<CleanupProviderFailure> failures;
    for (const auto& provider : providers_) {
        std::exception_ptr error;
        std::string accepted;
        try {
            co_await provider->prepare();
            const std::string answer = co_await provider->clean(transcript, prompt);
            accepted = guardrail_.validate(transcript, answer);
        } catch (...) {
            error = std::current_exception();
        }
        if (!error) {
            const auto snapshot = co_await provider->snapshot();
            co_return CleanupResult{accepted, snapshot.provider, false, std::nullopt, std::move(failures)};
        }
        auto stackTrace = currentStackTrace();
        const auto snapshot = co_await provider->snapshot();
        failures.emplace_back(snapshot.provider, error, std::move(stackTrace));
    }
    co_return CleanupResult{transcript, kRawProvider, true, std::string(kFallbackReason), std::move(failures)};
}

asio::awaitable<std::vector<CleanupRuntimeSnapshot>> CleanupOrchestrator::snapshotsOnStrand()
{
    std::vector<CleanupRuntimeSnapshot> list;
    list.reserve(providers_.size());
    for (const auto& provider : providers_) {
        list.push_back(co_await provider->snapshot());
    }
    co_return list;
}

asio::awaitable<std::optional<CleanupRuntimeSnapshot>> CleanupOrchestrator::prepareFirstAvailableOnStrand()
{
    for (const auto& provider : providers_) {
        bool prepared = false;
        try {
            co_await provider->prepare();
            prepared = true;
        } catch (...) {
            // Dropped on purpose: the provider records why in its snapshot.
        }
        if (prepared) {
            co_return co_await provider->snapshot();
        }
    }
    co_return std::nullopt;
}

} // namespace hushnote
