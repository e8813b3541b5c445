#include "HushnoteCore/ModelArchiveExtractor.h"

#include "HushnoteCore/ModelInstallError.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace hushnote {

namespace {

[[noreturn]] void refuse(std::string reason)
{
    throw ModelInstallError::invalidArchive(std::move(reason));
}

struct ArchiveDeleter {
    void operator()(archive* handle) const { archive_read_free(handle); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveDeleter>;

std::string archiveErrorText(archive* handle)
{
    const char* text = archive_error_string(handle);
    return text != nullptr ? text : "unknown libarchive error";
}

ArchiveReader openZip(const std::filesystem::path& file)
{
    ArchiveReader reader(archive_read_new());
    if (!reader) {
        refuse("cannot create an archive reader");
    }
    // The central-directory reader only: it sees the same entries unzip would, and a file that
    // is truncated (no end record) or not a zip at all does not open.
    archive_read_support_format_zip_seekable(reader.get());
    if (archive_read_open_filename(reader.get(), file.c_str(), 64 * 1024) != ARCHIVE_OK) {
        refuse("not a zip archive: " + archiveErrorText(reader.get()));
    }
    return reader;
}

struct CheckedEntry {
    std::string path; // normalised: components joined by "/", no ".", no empty parts
    bool directory = false;
    mode_t permissions = 0;
    std::optional<std::int64_t> declaredSize;
};

// Reads one header and applies every rule that needs no data. Returns nullopt at the end.
std::optional<CheckedEntry> nextCheckedEntry(archive* reader)
{
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) {
        return std::nullopt;
    }
    if (status != ARCHIVE_OK) {
        refuse("unreadable entry header: " + archiveErrorText(reader));
    }
    const char* rawName = archive_entry_pathname(entry);
    if (rawName == nullptr || *rawName == '\0') {
        refuse("entry without a name");
    }
    const std::string name(rawName);
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
        refuse("control character in an entry name");
    }
    if (name.front() == '/') {
        refuse("absolute entry name: " + name);
    }
    if (archive_entry_hardlink(entry) != nullptr) {
        refuse("hard link: " + name);
    }
    if (archive_entry_is_encrypted(entry)) {
        refuse("encrypted entry: " + name);
    }
    CheckedEntry checked;
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG: checked.directory = false; break;
    case AE_IFDIR: checked.directory = true; break;
    case AE_IFLNK: refuse("symbolic link: " + name);
    default: refuse("special file (device, FIFO or socket): " + name);
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto end = std::min(name.find('/', start), name.size());
        const auto component = name.substr(start, end - start);
        if (component == "..") {
            refuse("parent-directory component: " + name);
        }
        if (!component.empty() && component != ".") {
            if (!checked.path.empty()) {
                checked.path += '/';
            }
            checked.path += component;
        }
        start = end + 1;
    }
    if (checked.path.empty() && !checked.directory) {
        refuse("file entry without a name: " + name);
    }
    checked.permissions = archive_entry_perm(entry);
    if (archive_entry_size_is_set(entry)) {
        checked.declaredSize = archive_entry_size(entry);
    }
    return checked;
}

std::vector<std::string> parentsOf(const std::string& path)
{
    std::vector<std::string> parents;
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        parents.push_back(path.substr(0, slash));
    }
    return parents;
}

// Every rule is applied to the whole archive before a single byte is written.
void inspect(const std::filesystem::path& archivePath, std::uint64_t byteLimit, const ArchiveExtractionLimits& limits)
{
    auto reader = openZip(archivePath);
    std::set<std::string> names;
    std::set<std::string> files;
    std::set<std::string> directories;
    std::uint64_t count = 0;
    std::uint64_t declared = 0;
    while (auto entry = nextCheckedEntry(reader.get())) {
        if (++count > limits.maxEntries) {
            refuse("more than " + std::to_string(limits.maxEntries) + " entries");
        }
        if (entry->path.empty()) {
            continue;
        }
        if (!names.insert(entry->path).second) {
            refuse("name used twice: " + entry->path);
        }
        (entry->directory ? directories : files).insert(entry->path);
        for (auto& parent : parentsOf(entry->path)) {
            directories.insert(std::move(parent));
        }
        if (entry->declaredSize) {
            if (*entry->declaredSize < 0) {
                refuse("negative size: " + entry->path);
            }
            declared += static_cast<std::uint64_t>(*entry->declaredSize);
            if (declared > byteLimit) {
                refuse("declared sizes exceed the extraction limit");
            }
        }
    }
    for (const auto& file : files) {
        if (directories.count(file) != 0) {
            refuse("a file where a directory is needed: " + file);
        }
    }
}

void ensureDirectory(const std::filesystem::path& root, const std::string& relative,
    std::map<std::string, mode_t>& directoryModes)
{
    std::string path;
    for (auto parent : parentsOf(relative + "/")) {
        path = parent;
        const auto full = root / path;
        if (::mkdir(full.c_str(), 0700) == 0) {
            // Implied directories end up 0755 unless their own entry says otherwise.
            directoryModes.emplace(path, 0755);
        } else if (errno != EEXIST) {
            refuse("cannot create directory " + path + ": " + std::strerror(errno));
        } else {
            struct stat info {};
            if (::lstat(full.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
                refuse("not a directory: " + path);
            }
        }
    }
}

void writeFile(archive* reader, const std::filesystem::path& target, const CheckedEntry& entry,
    std::uint64_t byteLimit, std::uint64_t& totalBytes)
{
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        refuse("cannot create " + entry.path + ": " + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::vector<char> buffer(256 * 1024);
    std::uint64_t fileBytes = 0;
    while (true) {
        const auto n = archive_read_data(reader, buffer.data(), buffer.size());
        if (n == 0) {
            break;
        }
        // Warnings count: a bad checksum or a short entry is reported as one.
        if (n < 0) {
            refuse("corrupt data in " + entry.path + ": " + archiveErrorText(reader));
        }
        fileBytes += static_cast<std::uint64_t>(n);
        totalBytes += static_cast<std::uint64_t>(n);
        if (totalBytes > byteLimit) {
            refuse("extracted data exceeds the limit of " + std::to_string(byteLimit) + " bytes");
        }
        std::size_t written = 0;
        while (written < static_cast<std::size_t>(n)) {
            const auto w = ::write(fd, buffer.data() + written, static_cast<std::size_t>(n) - written);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                refuse("cannot write " + entry.path + ": " + std::strerror(errno));
            }
            written += static_cast<std::size_t>(w);
        }
    }
    if (entry.declaredSize && fileBytes != static_cast<std::uint64_t>(*entry.declaredSize)) {
        refuse("size of " + entry.path + " differs from its header");
    }
    // Execute bits stay for the scan to see; nothing set-id or sticky, nobody else may write.
    if (::fchmod(fd, (entry.permissions & 0755) | 0600) != 0) {
        refuse("cannot set permissions of " + entry.path + ": " + std::strerror(errno));
    }
}

void unpack(const std::filesystem::path& archivePath, const std::filesystem::path& destination,
    std::uint64_t byteLimit, const ArchiveExtractionLimits& limits)
{
    auto reader = openZip(archivePath);
    std::map<std::string, mode_t> directoryModes;
    std::uint64_t totalBytes = 0;
    std::uint64_t count = 0;
    while (auto entry = nextCheckedEntry(reader.get())) {
        if (++count > limits.maxEntries) {
            refuse("more than " + std::to_string(limits.maxEntries) + " entries");
        }
        if (entry->path.empty()) {
            continue;
        }
        if (entry->directory) {
            ensureDirectory(destination, entry->path, directoryModes);
            directoryModes[entry->path] = (entry->permissions & 0755) | 0700;
            continue;
        }
        const auto slash = entry->path.rfind('/');
        if (slash != std::string::npos) {
            ensureDirectory(destination, entry->path.substr(0, slash), directoryModes);
        }
        writeFile(reader.get(), destination / entry->path, *entry, byteLimit, totalBytes);
    }
    // Deepest first, though every mode keeps the owner's write bit anyway.
    for (auto it = directoryModes.rbegin(); it != directoryModes.rend(); ++it) {
        if (::chmod((destination / it->first).c_str(), it->second) != 0) {
            refuse("cannot set permissions of " + it->first + ": " + std::strerror(errno));
        }
    }
}

void emptyDirectory(const std::filesystem::path& directory)
{
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(directory, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        std::filesystem::remove_all(it->path(), ignored);
    }
}

} // namespace

std::uint64_t ModelArchiveExtractor::byteLimit(std::uint64_t archiveSize, const ArchiveExtractionLimits& limits)
{
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    if (limits.sizeRatio != 0 && archiveSize > kMax / limits.sizeRatio) {
        return kMax;
    }
    const auto scaled = archiveSize * limits.sizeRatio;
    return scaled > kMax - limits.byteAllowance ? kMax : scaled + limits.byteAllowance;
}

void ModelArchiveExtractor::extract(const std::filesystem::path& archive,
    const std::filesystem::path& destination, const ArchiveExtractionLimits& limits)
{
    std::error_code error;
    const auto archiveSize = std::filesystem::file_size(archive, error);
    if (error) {
        refuse("cannot read the archive: " + error.message());
    }
    auto limit = byteLimit(archiveSize, limits);
    struct statvfs disk {};
    if (::statvfs(destination.c_str(), &disk) == 0) {
        limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize);
    }
    try {
        inspect(archive, limit, limits);
        unpack(archive, destination, limit, limits);
    } catch (...) {
        emptyDirectory(destination);
        throw;
    }
}

} // namespace hushnote
