#include "tests/Support/TreeListing.h"

#include "tests/Support/TemporaryDirectory.h"

#include <sys/stat.h>

namespace hushnote::testing {

std::map<std::string, std::string> treeListing(const std::filesystem::path& root)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> listing;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const auto relative = fs::relative(it->path(), root).generic_string();
        const auto status = it->symlink_status();
        if (fs::is_symlink(status)) {
            listing[relative] = "link -> " + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            listing[relative] = "dir";
        } else if (fs::is_regular_file(status)) {
            struct stat info {};
            ::lstat(it->path().c_str(), &info);
            listing[relative] = "file " + std::to_string(info.st_mode & 07777) + " " + readFile(it->path());
        } else {
            listing[relative] = "other";
        }
    }
    return listing;
}

} // namespace hushnote::testing
