#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace hushnote {

// A speech model folder as the application expects it: the three compiled model stages side
// by side. Shared by the installers (which only install folders that pass validate()) and the
// transcriber adapter.
struct WhisperModelDescriptor {
    std::string modelID;
    std::filesystem::path directory;

    static constexpr std::array<std::string_view, 3> requiredModelDirectories{
        "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc", "MelSpectrogram.mlmodelc"};

    // Throws WhisperTranscriberError::modelPathMissing when `directory` is not an existing
    // directory, else requiredModelFileMissing naming the first stage that does not exist in
    // it (existence only: a file of that name passes). Follows symbolic links.
    void validate() const;

    // validate() without the error.
    bool isValid() const noexcept;

    bool operator==(const WhisperModelDescriptor&) const = default;
};

} // namespace hushnote
