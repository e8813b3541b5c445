#pragma once

#include "HushnoteCore/WhisperModelLocation.h"

#include <filesystem>
#include <optional>
#include <string>

namespace hushnote {

// Picks the speech model folder to use.
struct WhisperModelResolver {
    // The managed directory when it holds a valid model, else the configured path (absent or
    // empty counts as not given) when it does; nullopt when neither validates.
    static std::optional<WhisperModelLocation> resolve(
        const std::filesystem::path& managedDirectory, const std::optional<std::string>& configuredPath);
};

} // namespace hushnote
