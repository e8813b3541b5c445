#pragma once

#include <array>
#include <filesystem>
#include <string_view>

namespace hushnote {

// Where a speech model folder was found.
struct WhisperModelLocation {
    enum class Source {
        // The folder the application installs into.
        managed,
        // A folder named through HUSHNOTE_MODEL_PATH.
        configured,
    };

    std::filesystem::path directory;
    Source source = Source::managed;

    bool operator==(const WhisperModelLocation&) const = default;
};

inline constexpr std::array kAllWhisperModelLocationSources{
    WhisperModelLocation::Source::managed, WhisperModelLocation::Source::configured};

// "managed" or "configured".
std::string_view toString(WhisperModelLocation::Source source);

} // namespace hushnote
