#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace hushnote::testing {

// One entry of a fixture archive. Types zip cannot carry (devices, FIFOs, sockets) are
// written as a regular entry whose Unix mode is then patched in the central directory, which
// is where readers take it from.
struct ZipEntry {
    enum class Type { file, directory, symlink, fifo, characterDevice, socket };

    std::string name;
    // File data, or the target of a symbolic link.
    std::string content;
    Type type = Type::file;
    mode_t mode = 0644;
    // Stored rather than deflated.
    bool stored = false;
};

// The bytes of a zip archive holding `entries` in order (libarchive's writer). With `zip64`
// the archive carries zip64 records and its classic end record only points at them, as
// archives over 4 GiB or 65,535 entries do.
std::string buildZip(const std::vector<ZipEntry>& entries, bool zip64 = false);

// A tar archive with one regular file and a hard link to it (zip cannot express hard links).
std::string buildTarWithHardLink();

// Rewrites the uncompressed size that the local and central headers of entry `index` declare.
std::string withDeclaredSize(std::string zip, std::size_t index, std::uint32_t declaredSize);

// A minimal valid model folder (the three stage directories and a tokenizer file) as entries
// under `prefix` ("" for the archive root, else ending in "/").
std::vector<ZipEntry> modelEntries(const std::string& prefix = "");

// Creates the same minimal model folder on disk; `tag` goes into a file so installs can be
// told apart.
void writeModelFolder(const std::filesystem::path& directory, const std::string& tag = "model");

} // namespace hushnote::testing
