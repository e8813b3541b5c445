#pragma once

#include "Foundation/Async.h"
#include "HushnoteCore/CleanupGuard.h"
#include "HushnoteCore/CleanupProvider.h"
#include "HushnoteCore/CleanupTypes.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

// Tries the providers in order and always returns text to insert: the first output the
// guardrail accepts, or else the normalised transcript. Serialised: every operation runs on
// a strand of the executor given at construction (keep it off the main loop in the
// application); callers resume on their own executor. Holds no mutable state, so an
// operation that starts while another waits on a provider does no harm.
class CleanupOrchestrator final : public TranscriptCleaner {
public:
    CleanupOrchestrator(Executor executor, std::vector<std::shared_ptr<CleanupProvider>> providers,
        CleanupGuard guardrail);

    // Never throws: provider errors and guardrail verdicts become the result's failures.
    asio::awaitable<CleanupResult> clean(std::string text, CleanupPrompt prompt) override;
    // One snapshot per provider, in provider order.
    asio::awaitable<std::vector<CleanupRuntimeSnapshot>> snapshots() override;
    // The snapshot of the first provider whose prepare() succeeds; errors are dropped.
    asio::awaitable<std::optional<CleanupRuntimeSnapshot>> prepareFirstAvailable() override;

    const std::vector<std::shared_ptr<CleanupProvider>>& providers() const { return providers_; }
    const CleanupGuard& guardrail() const { return guardrail_; }

    static constexpr const char* kRawProvider = "raw-whisper";
    static constexpr const char* kFallbackReason = "No local cleanup provider returned a safe result";

private:
    asio::awaitable<CleanupResult> cleanOnStrand(std::string text, CleanupPrompt prompt);
    asio::awaitable<std::vector<CleanupRuntimeSnapshot>> snapshotsOnStrand();
    asio::awaitable<std::optional<CleanupRuntimeSnapshot>> prepareFirstAvailableOnStrand();

    Strand strand_;
    const std::vector<std::shared_ptr<CleanupProvider>> providers_;
    const CleanupGuard guardrail_;
};

} // namespace hushnote
