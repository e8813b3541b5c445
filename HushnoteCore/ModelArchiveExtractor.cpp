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

std::uint64_t littleEndian(const unsigned char* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool readAt(int fd, std::uint64_t offset, void* buffer, std::size_t length)
{
    return ::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

// libarchive reports a zip entry whose Unix mode says FIFO as a regular file (a workaround for
// archivers that stat a pipe), so the central directory's modes are read here as well.
// Refuses any entry whose recorded Unix type is not a regular file, directory or link (the
// latter are refused by type later, with their names).
void refuseSpecialFilesInCentralDirectory(const std::filesystem::path& file, std::uint64_t maxEntries)
{
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } fd{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) {
        refuse("cannot open the archive");
    }
    struct stat info {};
    if (::fstat(fd.fd, &info) != 0) {
        refuse("cannot read the archive");
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    // End of central directory: 22 bytes plus a comment of up to 65535.
    const std::uint64_t tailLength = std::min<std::uint64_t>(size, 22 + 65535);
    std::vector<unsigned char> tail(tailLength);
    if (tailLength < 22 || !readAt(fd.fd, size - tailLength, tail.data(), tail.size())) {
        refuse("not a zip archive: no end of central directory");
    }
    std::optional<std::size_t> end;
    for (std::size_t i = tail.size() - 22 + 1; i-- > 0;) {
        if (littleEndian(&tail[i], 4) == 0x06054b50) {
            end = i;
            break;
        }
    }
    if (!end) {
        refuse("not a zip archive: no end of central directory");
    }
    std::uint64_t entries = littleEndian(&tail[*end + 10], 2);
    std::uint64_t directorySize = littleEndian(&tail[*end + 12], 4);
    std::uint64_t directoryOffset = littleEndian(&tail[*end + 16], 4);
    if (entries == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) {
        // Zip64: the locator sits just before the classic record.
        const auto locatorAt = size - tailLength + *end;
        unsigned char locator[20];
        unsigned char record[56];
        if (locatorAt < 20 || !readAt(fd.fd, locatorAt - 20, locator, sizeof locator)
            || littleEndian(locator, 4) != 0x07064b50
            || !readAt(fd.fd, littleEndian(locator + 8, 8), record, sizeof record)
            || littleEndian(record, 4) != 0x06064b50) {
            refuse("unreadable zip64 end of central directory");
        }
        entries = littleEndian(record + 32, 8);
        directorySize = littleEndian(record + 40, 8);
        directoryOffset = littleEndian(record + 48, 8);
    }
    if (entries > maxEntries) {
        refuse("more than " + std::to_string(maxEntries) + " entries");
    }
    if (directoryOffset > size || directorySize > size - directoryOffset) {
        refuse("central directory outside the archive");
    }
    std::vector<unsigned char> directory(directorySize);
    if (!readAt(fd.fd, directoryOffset, directory.data(), directory.size())) {
        refuse("unreadable central directory");
    }
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < entries; ++i) {
        if (at + 46 > directory.size() || littleEndian(&directory[at], 4) != 0x02014b50) {
            refuse("corrupt central directory");
        }
        const auto system = directory[at + 5];
        const auto nameLength = littleEndian(&directory[at + 28], 2);
        const auto extraLength = littleEndian(&directory[at + 30], 2);
        const auto commentLength = littleEndian(&directory[at + 32], 2);
        const auto mode = static_cast<mode_t>(littleEndian(&directory[at + 38], 4) >> 16);
        const auto type = mode & S_IFMT;
        if (system == 3 && type != 0 && type != S_IFREG && type != S_IFDIR && type != S_IFLNK) {
            const auto nameEnd = std::min<std::size_t>(directory.size(), at + 46 + nameLength);
            refuse("special file (device, FIFO or socket): "
                + std::string(directory.begin() + static_cast<std::ptrdiff_t>(std::min(at + 46, nameEnd)),
                    directory.begin() + static_cast<std::ptrdiff_t>(nameEnd)));
        }
        at += 46 + nameLength + extraLength + commentLength;
    }
}

// Every rule is applied to the whole archive before a single byte is written.
void inspect(const std::filesystem::path& archivePath, std::uint64_t byteLimit, const ArchiveExtractionLimits& limits)
{
    auto reader = openZip(archivePath);
    refuseSpecialFilesInCentralDirectory(archivePath, limits.maxEntries);
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
    for (const auto& path : parentsOf(relative + "/")) {
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
