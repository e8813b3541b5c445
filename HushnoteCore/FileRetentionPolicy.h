#pragma once

#include "Foundation/Clock.h"

#include <filesystem>
#include <string>
#include <vector>

namespace hushnote {

// Deletes old files by modification date; used for rotated logs and support bundles.
struct FileRetentionPolicy {
    // Deletes the regular, non-hidden files directly in `directory` whose name starts with one
    // of `filenamePrefixes` and whose modification date is earlier than now - olderThanSeconds.
    // Returns the deleted paths; empty when the age is negative or the directory is missing.
    // Throws std::filesystem::filesystem_error when listing, reading an entry or removing fails.
    static std::vector<std::filesystem::path> removeExpiredFiles(
        const std::filesystem::path& directory, double olderThanSeconds, WallTime now,
        const std::vector<std::string>& filenamePrefixes);
};

} // namespace hushnote
