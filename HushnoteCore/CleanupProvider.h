#pragma once

#include "HushnoteCore/CleanupTypes.h"

#include <asio/awaitable.hpp>

#include <string>

namespace hushnote {

// A language-model back end the clean-up orchestrator can use. Implementations are
// serialised objects: each operation runs on the implementation's own executor and resumes
// the caller on the caller's.
class CleanupProvider {
public:
    virtual ~CleanupProvider() = default;

    // The provider's current state. Never throws.
    virtual asio::awaitable<CleanupRuntimeSnapshot> snapshot() = 0;

    // Brings the provider to where it can clean; must succeed again on a ready provider.
    // Throws the failing component's error.
    virtual asio::awaitable<void> prepare() = 0;

    // The model's answer for `text`, unchecked. Throws on failure.
    virtual asio::awaitable<std::string> clean(std::string text, CleanupPrompt prompt) = 0;
};

} // namespace hushnote
