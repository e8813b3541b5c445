#include "Foundation/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace hushnote {

std::optional<std::string> readWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return out.str();
}

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes)
{
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool wrote = writeAll(fd, bytes);
    const bool closed = ::close(fd) == 0;
    if (!wrote || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void createPrivateDirectory(const std::filesystem::path& directory)
{
    const auto fail = [&](int error) {
        throw std::filesystem::filesystem_error(
            "cannot use private directory", directory, std::error_code(error, std::generic_category()));
    };
    if (directory.has_parent_path()) {
        std::filesystem::create_directories(directory.parent_path());
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        fail(errno);
    }
    // Another user may have planted the directory (it usually lives in a shared /tmp).
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) {
        fail(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        fail(ENOTDIR);
    }
    if (info.st_uid != ::geteuid()) {
        fail(EPERM);
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(directory.c_str(), 0700) != 0) {
        fail(errno);
    }
}

} // namespace hushnote
