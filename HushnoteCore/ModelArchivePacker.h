#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <string>

namespace hushnote {

// Builds the zip archives the asset server publishes, in the form the installers accept.
struct ModelArchivePacker {
    struct PackedArchive {
        std::int64_t sizeBytes = 0;
        std::string sha256;
    };

    // Writes every file and directory under `sourceDirectory` (relative names, sorted, Unix
    // permission bits kept; Hushnote's own ".hushnote-*" marker files left out) into a new
    // zip at `archive`. Refuses what the installer would refuse: throws
    // ModelInstallError::executableCodeInModelArchive for executable code, and
    // std::invalid_argument for links, special files or an existing `archive`. Blocking.
    static PackedArchive pack(const std::filesystem::path& sourceDirectory, const std::filesystem::path& archive);

    // The manifest's artifact object for a packed archive, published.
    static nlohmann::json manifestEntry(const std::string& kind, const std::string& id, const std::string& version,
        const std::string& relativeInstallPath, const std::string& downloadPath, const PackedArchive& packed);
};

} // namespace hushnote
