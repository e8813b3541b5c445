#include "HushnoteCore/ModelArchivePacker.h"

#include "HushnoteCore/ModelInstallManager.h"

#include <archive.h>
#include <archive_entry.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace hushnote {

namespace fs = std::filesystem;

namespace {

struct WriterDeleter {
    void operator()(archive* handle) const { archive_write_free(handle); }
};
struct EntryDeleter {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

void collect(const fs::path& root, const fs::path& directory, std::vector<fs::path>& out)
{
    std::vector<fs::path> children;
    for (const auto& entry : fs::directory_iterator(directory)) {
        children.push_back(entry.path());
    }
    std::sort(children.begin(), children.end());
    for (const auto& child : children) {
        const auto status = fs::symlink_status(child);
        const auto relative = fs::relative(child, root);
        if (fs::is_directory(status)) {
            out.push_back(relative);
            collect(root, child, out);
        } else if (fs::is_regular_file(status)) {
            if (child.filename().string().rfind(".hushnote-", 0) != 0) {
                out.push_back(relative);
            }
        } else {
            throw std::invalid_argument("Only files and directories can be packed: " + child.string());
        }
    }
}

void check(archive* writer, int status)
{
    if (status < ARCHIVE_OK) {
        const char* text = archive_error_string(writer);
        throw std::runtime_error(std::string("Cannot write the archive: ") + (text ? text : "unknown error"));
    }
}

} // namespace

ModelArchivePacker::PackedArchive ModelArchivePacker::pack(const fs::path& sourceDirectory, const fs::path& archive)
{
    if (!fs::is_directory(sourceDirectory)) {
        throw std::invalid_argument("Not a directory: " + sourceDirectory.string());
    }
    if (fs::exists(fs::symlink_status(archive))) {
        throw std::invalid_argument("The archive already exists: " + archive.string());
    }
    std::vector<fs::path> entries;
    collect(sourceDirectory, sourceDirectory, entries);
    ModelInstallManager::rejectExecutableCode(sourceDirectory);

    std::unique_ptr<::archive, WriterDeleter> writer(archive_write_new());
    check(writer.get(), archive_write_set_format_zip(writer.get()));
    check(writer.get(), archive_write_zip_set_compression_deflate(writer.get()));
    check(writer.get(), archive_write_open_filename(writer.get(), archive.c_str()));
    std::vector<char> buffer(256 * 1024);
    try {
        for (const auto& relative : entries) {
            const auto full = sourceDirectory / relative;
            const auto status = fs::status(full);
            std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
            archive_entry_set_pathname(entry.get(), relative.generic_string().c_str());
            archive_entry_set_perm(entry.get(), static_cast<mode_t>(status.permissions()) & 0777);
            archive_entry_set_mtime(entry.get(), 0, 0);
            if (fs::is_directory(status)) {
                archive_entry_set_filetype(entry.get(), AE_IFDIR);
                check(writer.get(), archive_write_header(writer.get(), entry.get()));
                continue;
            }
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(fs::file_size(full)));
            check(writer.get(), archive_write_header(writer.get(), entry.get()));
            std::ifstream in(full, std::ios::binary);
            if (!in) {
                throw std::runtime_error("Cannot read " + full.string());
            }
            while (in) {
                in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                const auto n = in.gcount();
                if (n > 0 && archive_write_data(writer.get(), buffer.data(), static_cast<std::size_t>(n)) != n) {
                    check(writer.get(), ARCHIVE_FATAL);
                }
            }
            if (in.bad()) {
                throw std::runtime_error("Cannot read " + full.string());
            }
        }
        check(writer.get(), archive_write_close(writer.get()));
    } catch (...) {
        writer.reset();
        std::error_code ignored;
        fs::remove(archive, ignored);
        throw;
    }
    return PackedArchive{static_cast<std::int64_t>(fs::file_size(archive)), ModelInstallManager::sha256File(archive)};
}

nlohmann::json ModelArchivePacker::manifestEntry(const std::string& kind, const std::string& id,
    const std::string& version, const std::string& relativeInstallPath, const std::string& downloadPath,
    const PackedArchive& packed)
{
    return nlohmann::json{
        {"id", id},
        {"kind", kind},
        {"version", version},
        {"relativeInstallPath", relativeInstallPath},
        {"downloadPath", downloadPath},
        {"compressedSizeBytes", packed.sizeBytes},
        {"sha256", packed.sha256},
        {"published", true},
    };
}

} // namespace hushnote
