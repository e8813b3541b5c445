#pragma once

#include <asio/awaitable.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace hushnote {

// Copies the models shipped with the application into the places the runtimes read them
// from. Stateless; the synchronous operations block and assume nobody else writes the
// destination meanwhile; the asynchronous ones run them on a thread of their own.
struct BundledModelSeeder {
    // Returns false when `source` is absent, missing or not a directory, or when
    // `destination` already holds a valid model (kept, whatever the source holds). Otherwise
    // replaces `destination` whole with a staged copy of `source` and returns true. Throws
    // BundledModelSeederError::invalidBundledWhisperModel for an invalid source, and the
    // file-system error of the copy or swap (the staging copy is removed, and the previous
    // destination stays unless the final swap failed).
    static bool installWhisperIfNeeded(const std::optional<std::filesystem::path>& source,
        const std::filesystem::path& destination, const std::string& modelID);
    static asio::awaitable<bool> installWhisperIfNeededAsync(
        std::optional<std::filesystem::path> source, std::filesystem::path destination, std::string modelID);

    // Copies every file of `source` that `destination` lacks (hidden entries and entries that
    // resolve outside `source` are skipped; existing files are never touched), then writes the
    // marker ".hushnote-<seedID>.seeded" into `destination`. Returns false at once when
    // `source` is absent, missing or not a directory, or when `destination` and the marker
    // already exist; otherwise whether at least one file was copied. Throws
    // BundledModelSeederError::invalidBundledOllamaStore for an empty `seedID` or a source
    // with no visible entries, and file-system errors (files copied so far stay, no marker).
    static bool mergeOllamaStoreIfNeeded(const std::optional<std::filesystem::path>& source,
        const std::filesystem::path& destination, const std::string& seedID);
    static asio::awaitable<bool> mergeOllamaStoreIfNeededAsync(
        std::optional<std::filesystem::path> source, std::filesystem::path destination, std::string seedID);

    // ".hushnote-" + seedID + ".seeded".
    static std::string markerName(const std::string& seedID);
};

} // namespace hushnote
