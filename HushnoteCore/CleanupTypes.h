#pragma once

#include <asio/awaitable.hpp>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hushnote {

// The instructions given to a clean-up provider.
struct CleanupPrompt {
    std::string version;
    std::string system;

    bool operator==(const CleanupPrompt&) const = default;

    // Revision "v3", the prompt every dictation uses.
    static CleanupPrompt v3();
};

struct CleanupRuntimeSnapshot {
    enum class Status { unavailable, preparing, ready, failed };

    std::string provider;
    std::string endpoint;
    std::string model;
    std::optional<std::string> version;
    Status status = Status::unavailable;
    std::optional<std::string> detail;

    bool operator==(const CleanupRuntimeSnapshot&) const = default;
};

std::string_view toString(CleanupRuntimeSnapshot::Status status);

// One provider attempt that did not deliver an accepted result. Carries no text.
struct CleanupProviderFailure {
    std::string provider;
    std::string errorType;
    std::string errorDomain;
    long long errorCode = 0;
    std::string stackTrace;

    CleanupProviderFailure() = default;
    CleanupProviderFailure(std::string provider, const std::exception_ptr& error, std::string stackTrace);

    bool operator==(const CleanupProviderFailure&) const = default;
};

struct CleanupResult {
    std::string text;
    std::string provider;
    bool usedRawFallback = false;
    std::optional<std::string> fallbackReason;
    std::vector<CleanupProviderFailure> failures;

    bool operator==(const CleanupResult&) const = default;
};

// What the coordinator needs of the clean-up orchestrator. clean() never fails: provider
// failures and rejected outputs come back inside the result.
class TranscriptCleaner {
public:
    virtual ~TranscriptCleaner() = default;
    virtual asio::awaitable<CleanupResult> clean(std::string text, CleanupPrompt prompt) = 0;
    virtual asio::awaitable<std::vector<CleanupRuntimeSnapshot>> snapshots() = 0;
    // The snapshot of the first provider that could be prepared, or nothing.
    virtual asio::awaitable<std::optional<CleanupRuntimeSnapshot>> prepareFirstAvailable() = 0;
};

} // namespace hushnote
