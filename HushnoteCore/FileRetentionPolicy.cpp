#include "HushnoteCore/FileRetentionPolicy.h"

#include <algorithm>

namespace hushnote {

namespace fs = std::filesystem;

std::vector<fs::path> FileRetentionPolicy::removeExpiredFiles(const fs::path& directory,
    double olderThanSeconds, WallTime now, const std::vector<std::string>& filenamePrefixes)
{
    std::vector<fs::path> removed;
    if (olderThanSeconds < 0 || !fs::exists(directory)) {
        return removed;
    }
    const auto cutoff = now
        - std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(olderThanSeconds));

    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with('.')) {
            continue;
        }
        const bool matches = std::any_of(filenamePrefixes.begin(), filenamePrefixes.end(),
            [&](const std::string& prefix) { return name.starts_with(prefix); });
        if (!matches) {
            continue;
        }
        // symlink_status: a link is not a regular file, and its target is not ours to delete.
        if (!fs::is_regular_file(entry.symlink_status())) {
            continue;
        }
        const auto modified = std::chrono::file_clock::to_sys(entry.last_write_time());
        if (modified < cutoff) {
            fs::remove(entry.path());
            removed.push_back(entry.path());
        }
    }
    return removed;
}

} // namespace hushnote
