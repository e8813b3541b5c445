#include "tests/Support/ZipFixture.h"

#include "tests/Support/TemporaryDirectory.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace hushnote::testing {

namespace {

struct WriterDeleter {
    void operator()(archive* handle) const { archive_write_free(handle); }
};
struct EntryDeleter {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

void check(archive* writer, int status)
{
    if (status < ARCHIVE_OK) {
        throw std::runtime_error(std::string("fixture archive: ") + archive_error_string(writer));
    }
}

std::uint32_t readLE32(const std::string& bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes.at(offset + static_cast<std::size_t>(i)));
    }
    return value;
}

void writeLE32(std::string& bytes, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes.at(offset + static_cast<std::size_t>(i)) = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// Offset of central directory header `index`.
std::size_t centralHeader(const std::string& zip, std::size_t index)
{
    std::size_t found = 0;
    for (auto at = zip.find("PK\x01\x02"); at != std::string::npos; at = zip.find("PK\x01\x02", at + 4)) {
        if (found++ == index) {
            return at;
        }
    }
    throw std::runtime_error("fixture archive: no such central header");
}

std::string patchMode(std::string zip, std::size_t index, std::uint32_t mode)
{
    const auto header = centralHeader(zip, index);
    // External attributes: the Unix mode lives in the high 16 bits.
    writeLE32(zip, header + 38, (mode << 16) | (readLE32(zip, header + 38) & 0xFFFF));
    return zip;
}

} // namespace

std::string buildZip(const std::vector<ZipEntry>& entries, bool zip64)
{
    std::string bytes;
    std::unique_ptr<archive, WriterDeleter> writer(archive_write_new());
    check(writer.get(), archive_write_set_format_zip(writer.get()));
    // Unbuffered final block, so the output is exactly the archive.
    check(writer.get(), archive_write_set_bytes_in_last_block(writer.get(), 1));
    auto append = [](archive*, void* context, const void* data, size_t length) -> la_ssize_t {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), length);
        return static_cast<la_ssize_t>(length);
    };
    if (zip64) {
        check(writer.get(), archive_write_set_options(writer.get(), "zip:zip64"));
    }
    check(writer.get(), archive_write_open(writer.get(), &bytes, nullptr, append, nullptr));
    std::vector<std::pair<std::size_t, std::uint32_t>> modePatches;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& wanted = entries[i];
        check(writer.get(),
            wanted.stored ? archive_write_zip_set_compression_store(writer.get())
                        : archive_write_zip_set_compression_deflate(writer.get()));
        std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), wanted.name.c_str());
        archive_entry_set_perm(entry.get(), wanted.mode & 07777);
        archive_entry_set_mtime(entry.get(), 1'700'000'000, 0);
        std::string data = wanted.content;
        switch (wanted.type) {
        case ZipEntry::Type::file: archive_entry_set_filetype(entry.get(), AE_IFREG); break;
        case ZipEntry::Type::directory:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            data.clear();
            break;
        case ZipEntry::Type::symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink(entry.get(), wanted.content.c_str());
            data.clear();
            break;
        case ZipEntry::Type::fifo:
        case ZipEntry::Type::characterDevice:
        case ZipEntry::Type::socket: {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            const std::uint32_t type = wanted.type == ZipEntry::Type::fifo ? S_IFIFO
                : wanted.type == ZipEntry::Type::socket                    ? S_IFSOCK
                                                                         : S_IFCHR;
            modePatches.emplace_back(i, type | (wanted.mode & 07777));
            break;
        }
        }
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        check(writer.get(), archive_write_header(writer.get(), entry.get()));
        if (!data.empty() && archive_write_data(writer.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size())) {
            check(writer.get(), ARCHIVE_FATAL);
        }
    }
    check(writer.get(), archive_write_close(writer.get()));
    for (const auto& [index, mode] : modePatches) {
        bytes = patchMode(std::move(bytes), index, mode);
    }
    if (zip64) {
        const auto end = bytes.rfind("PK\x05\x06");
        if (end == std::string::npos || bytes.rfind("PK\x06\x06") == std::string::npos) {
            throw std::runtime_error("fixture archive: no zip64 end record");
        }
        for (std::size_t offset : {8, 10}) {
            bytes[end + offset] = bytes[end + offset + 1] = '\xFF';
        }
        writeLE32(bytes, end + 12, 0xFFFFFFFF);
        writeLE32(bytes, end + 16, 0xFFFFFFFF);
    }
    return bytes;
}

std::string buildTarWithHardLink()
{
    std::string bytes;
    std::unique_ptr<archive, WriterDeleter> writer(archive_write_new());
    check(writer.get(), archive_write_set_format_pax_restricted(writer.get()));
    check(writer.get(), archive_write_set_bytes_in_last_block(writer.get(), 1));
    auto append = [](archive*, void* context, const void* data, size_t length) -> la_ssize_t {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), length);
        return static_cast<la_ssize_t>(length);
    };
    check(writer.get(), archive_write_open(writer.get(), &bytes, nullptr, append, nullptr));
    std::unique_ptr<archive_entry, EntryDeleter> file(archive_entry_new());
    archive_entry_set_pathname(file.get(), "weights.bin");
    archive_entry_set_filetype(file.get(), AE_IFREG);
    archive_entry_set_perm(file.get(), 0644);
    archive_entry_set_size(file.get(), 4);
    check(writer.get(), archive_write_header(writer.get(), file.get()));
    archive_write_data(writer.get(), "data", 4);
    std::unique_ptr<archive_entry, EntryDeleter> link(archive_entry_new());
    archive_entry_set_pathname(link.get(), "link.bin");
    archive_entry_set_filetype(link.get(), AE_IFREG);
    archive_entry_set_perm(link.get(), 0644);
    archive_entry_set_hardlink(link.get(), "weights.bin");
    check(writer.get(), archive_write_header(writer.get(), link.get()));
    check(writer.get(), archive_write_close(writer.get()));
    return bytes;
}

std::string withDeclaredSize(std::string zip, std::size_t index, std::uint32_t declaredSize)
{
    const auto central = centralHeader(zip, index);
    writeLE32(zip, central + 24, declaredSize);
    const auto local = readLE32(zip, central + 42);
    if (zip.compare(local, 4, "PK\x03\x04") != 0) {
        throw std::runtime_error("fixture archive: no local header");
    }
    writeLE32(zip, local + 22, declaredSize);
    return zip;
}

std::vector<ZipEntry> modelEntries(const std::string& prefix)
{
    return {
        {prefix + "AudioEncoder.mlmodelc/model.json", "{\"stage\":\"encoder\"}"},
        {prefix + "TextDecoder.mlmodelc/model.json", "{\"stage\":\"decoder\"}"},
        {prefix + "MelSpectrogram.mlmodelc/model.json", "{\"stage\":\"mel\"}"},
        {prefix + "tokenizer.json", "{\"tokens\":[]}"},
    };
}

void writeModelFolder(const std::filesystem::path& directory, const std::string& tag)
{
    for (const auto& entry : modelEntries()) {
        writeFile(directory / entry.name, entry.content);
    }
    writeFile(directory / "tag.txt", tag);
}

} // namespace hushnote::testing
