#pragma once

#include <filesystem>

namespace hushnote {

// Replaces a directory with a copy of another through a sibling staging copy. Blocking.
struct DirectoryReplacement {
    // Copies `source` (symbolic links inside it stay links; a link given as `source` itself is
    // followed) to `destination`'s parent / (name + "-" + UUID), then swaps it into place:
    // one atomic exchange where the file system supports it, else a rename of the old
    // directory aside and back on failure. The old directory is removed afterwards (errors
    // ignored). Throws std::filesystem::filesystem_error; on failure the staging copy is
    // removed and `destination` is as it was.
    static void replace(const std::filesystem::path& destination, const std::filesystem::path& source);
};

} // namespace hushnote
