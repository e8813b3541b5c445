#pragma once

#include "HushnoteCore/AssetTransfer.h"

#include <cstdint>
#include <filesystem>

namespace hushnote {

// Unpacks model zip archives without ever writing outside the destination. Blocking.
struct ModelArchiveExtractor {
    // Extracts `archive` into `destination`, an existing directory this process created.
    // Every entry is checked before anything is written: the whole archive is refused when an
    // entry has an absolute name, a ".." component, a control character, a name used twice or
    // a file where another entry needs a directory, when it is anything but a regular file or
    // a directory (links, devices, FIFOs, sockets), when it is encrypted, or when there are
    // more than `limits.maxEntries` entries. Extracted bytes are counted as they stream and
    // stop past byteLimit() or the destination's free space; a file whose data differs in
    // length from its declared size is refused. Files keep their permission bits (plus owner
    // read and write) without setuid, setgid and sticky; directories keep theirs within 0755
    // and stay owner-writable. Throws ModelInstallError::invalidArchive (reason() says which
    // rule) and leaves `destination` empty on any failure.
    static void extract(const std::filesystem::path& archive, const std::filesystem::path& destination,
        const ArchiveExtractionLimits& limits);

    // sizeRatio x archiveSize + byteAllowance, saturating.
    static std::uint64_t byteLimit(std::uint64_t archiveSize, const ArchiveExtractionLimits& limits);
};

} // namespace hushnote
