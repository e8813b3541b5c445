#include "HushnoteCore/WhisperModelResolver.h"

#include "HushnoteCore/WhisperModelDescriptor.h"
#include "HushnoteCore/WhisperTranscriber.h"

#include <vector>

namespace hushnote {

std::optional<WhisperModelLocation> WhisperModelResolver::resolve(
    const std::filesystem::path& managedDirectory, const std::optional<std::string>& configuredPath)
{
    std::vector<WhisperModelLocation> candidates{{managedDirectory, WhisperModelLocation::Source::managed}};
    if (configuredPath && !configuredPath->empty()) {
        candidates.push_back({std::filesystem::path(*configuredPath), WhisperModelLocation::Source::configured});
    }
    for (const auto& candidate : candidates) {
        if (WhisperModelDescriptor{std::string(WhisperTranscriber::kModelID), candidate.directory}.isValid()) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace hushnote
