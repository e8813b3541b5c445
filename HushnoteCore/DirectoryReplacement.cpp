#include "HushnoteCore/DirectoryReplacement.h"

#include "Foundation/Uuid.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <system_error>

namespace hushnote {

namespace {

void removeQuietly(const std::filesystem::path& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& a, const std::filesystem::path& b)
{
    throw std::filesystem::filesystem_error(what, a, b, std::error_code(errno, std::generic_category()));
}

} // namespace

void DirectoryReplacement::replace(const std::filesystem::path& destination, const std::filesystem::path& source)
{
    const auto parent = destination.parent_path();
    std::filesystem::create_directories(parent);
    const auto staging = parent / (destination.filename().string() + "-" + makeUuidString());
    try {
        std::filesystem::copy(std::filesystem::canonical(source), staging,
            std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    } catch (...) {
        removeQuietly(staging);
        throw;
    }

    std::error_code error;
    const bool destinationExists = std::filesystem::symlink_status(destination, error).type()
        != std::filesystem::file_type::not_found;
    if (!destinationExists) {
        if (::rename(staging.c_str(), destination.c_str()) != 0) {
            const int saved = errno;
            removeQuietly(staging);
            errno = saved;
            throwErrno("Cannot move the staged copy into place", staging, destination);
        }
        return;
    }
    if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, destination.c_str(), RENAME_EXCHANGE) == 0) {
        // `staging` now holds the previous directory.
        removeQuietly(staging);
        return;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        const int saved = errno;
        removeQuietly(staging);
        errno = saved;
        throwErrno("Cannot swap the staged copy into place", staging, destination);
    }
    // File systems without an atomic exchange: move the old copy aside, and back on failure.
    const auto aside = parent / (destination.filename().string() + "-" + makeUuidString());
    if (::rename(destination.c_str(), aside.c_str()) != 0) {
        const int saved = errno;
        removeQuietly(staging);
        errno = saved;
        throwErrno("Cannot move the previous copy aside", destination, aside);
    }
    if (::rename(staging.c_str(), destination.c_str()) != 0) {
        const int saved = errno;
        ::rename(aside.c_str(), destination.c_str());
        removeQuietly(staging);
        errno = saved;
        throwErrno("Cannot move the staged copy into place", staging, destination);
    }
    removeQuietly(aside);
}

} // namespace hushnote
