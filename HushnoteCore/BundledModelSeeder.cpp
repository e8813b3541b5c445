#include "HushnoteCore/BundledModelSeeder.h"

#include "HushnoteCore/BackgroundWork.h"
#include "HushnoteCore/BundledModelSeederError.h"
#include "HushnoteCore/DirectoryReplacement.h"
#include "HushnoteCore/WhisperModelDescriptor.h"

#include <fstream>
#include <system_error>

namespace hushnote {

namespace fs = std::filesystem;

namespace {

bool isExistingDirectory(const std::optional<fs::path>& path)
{
    std::error_code error;
    return path && fs::is_directory(*path, error);
}

bool isHidden(const fs::path& path)
{
    const auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

bool somethingExists(const fs::path& path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool isFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

// Adds what `destination` lacks and never replaces anything. Entries are read through their
// resolved location, so a link inside the store copy contributes the file it points to, and
// one that points outside the copy contributes nothing.
bool mergeDirectoryContents(const fs::path& source, const fs::path& destination)
{
    std::error_code error;
    fs::recursive_directory_iterator it(source, error);
    if (error) {
        return false;
    }
    const auto root = fs::canonical(source, error);
    if (error) {
        return false;
    }
    const auto rootText = root.string() + "/";
    bool copied = false;
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            break;
        }
        if (isHidden(it->path())) {
            it.disable_recursion_pending();
            continue;
        }
        std::error_code resolveError;
        const auto resolved = fs::canonical(it->path(), resolveError);
        if (resolveError) {
            continue;
        }
        const auto resolvedText = resolved.string();
        if (resolvedText.compare(0, rootText.size(), rootText) != 0) {
            continue;
        }
        const auto relative = resolvedText.substr(rootText.size());
        if (relative.empty()) {
            continue;
        }
        const auto target = destination / relative;
        if (fs::is_directory(resolved)) {
            fs::create_directories(target);
        } else if (!somethingExists(target)) {
            fs::create_directories(target.parent_path());
            fs::copy_file(resolved, target);
            copied = true;
        }
    }
    if (error) {
        throw fs::filesystem_error("Cannot list the bundled model store", source, error);
    }
    return copied;
}

} // namespace

std::string BundledModelSeeder::markerName(const std::string& seedID)
{
    return ".hushnote-" + seedID + ".seeded";
}

bool BundledModelSeeder::installWhisperIfNeeded(
    const std::optional<fs::path>& source, const fs::path& destination, const std::string& modelID)
{
    if (!isExistingDirectory(source)) {
        return false;
    }
    if (WhisperModelDescriptor{modelID, destination}.isValid()) {
        return false;
    }
    if (!WhisperModelDescriptor{modelID, *source}.isValid()) {
        throw BundledModelSeederError(BundledModelSeederError::Kind::invalidBundledWhisperModel);
    }
    DirectoryReplacement::replace(destination, *source);
    return true;
}

asio::awaitable<bool> BundledModelSeeder::installWhisperIfNeededAsync(
    std::optional<fs::path> source, fs::path destination, std::string modelID)
{
    // A named callable: GCC 12 destroys some temporaries of a co_await expression twice.
    auto work = [source = std::move(source), destination = std::move(destination), modelID = std::move(modelID)] {
        return installWhisperIfNeeded(source, destination, modelID);
    };
    co_return co_await runOnOwnThread(std::move(work));
}

bool BundledModelSeeder::mergeOllamaStoreIfNeeded(
    const std::optional<fs::path>& source, const fs::path& destination, const std::string& seedID)
{
    if (!isExistingDirectory(source)) {
        return false;
    }
    if (seedID.empty()) {
        throw BundledModelSeederError(BundledModelSeederError::Kind::invalidBundledOllamaStore);
    }
    bool hasVisibleEntry = false;
    for (const auto& entry : fs::directory_iterator(*source)) {
        if (!isHidden(entry.path())) {
            hasVisibleEntry = true;
            break;
        }
    }
    if (!hasVisibleEntry) {
        throw BundledModelSeederError(BundledModelSeederError::Kind::invalidBundledOllamaStore);
    }
    const auto marker = destination / markerName(seedID);
    if (somethingExists(destination) && isFile(marker)) {
        return false;
    }
    fs::create_directories(destination);
    const bool copied = mergeDirectoryContents(*source, destination);
    if (!isFile(marker)) {
        std::ofstream create(marker, std::ios::binary);
    }
    return copied;
}

asio::awaitable<bool> BundledModelSeeder::mergeOllamaStoreIfNeededAsync(
    std::optional<fs::path> source, fs::path destination, std::string seedID)
{
    auto work = [source = std::move(source), destination = std::move(destination), seedID = std::move(seedID)] {
        return mergeOllamaStoreIfNeeded(source, destination, seedID);
    };
    co_return co_await runOnOwnThread(std::move(work));
}

} // namespace hushnote
