#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace hushnote {

// The whole content of a file; nullopt when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

// Writes `bytes` to `fd` completely, retrying short and interrupted writes.
bool writeAll(int fd, const std::string& bytes);

// Replaces `path` with `bytes` through a uniquely named 0600 temporary file beside it and a
// rename, so readers see the old file or the new one, never a partial write, and concurrent
// writers never share a temporary file. Returns false (leaving no temporary behind) on failure.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes);

// Makes `directory` a private directory of this user (mode 0700), creating missing parents
// with the default mode. An existing directory must be ours and no symbolic link; its mode is
// tightened. Throws std::filesystem::filesystem_error otherwise.
void createPrivateDirectory(const std::filesystem::path& directory);

} // namespace hushnote
