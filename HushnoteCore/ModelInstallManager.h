#pragma once

#include "Foundation/Async.h"
#include "HushnoteCore/AssetTransfer.h"
#include "HushnoteCore/ModelInstallTypes.h"

#include <asio/thread_pool.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace hushnote {

// Installs one model artifact under a models root: download with progress, SHA-256 check,
// extraction into a private directory, executable-code scan, payload search and a staged
// swap into the install directory.
//
// A serialised object: every asynchronous member runs on the manager's own thread, one at a
// time, and the caller resumes on its own executor. Operations may be awaited from any
// executor; the manager must outlive them.
class ModelInstallManager {
public:
    // A downloaded archive, in the private temporary directory, and who answered.
    struct DownloadedArchive {
        std::filesystem::path file;
        HTTPResponse response;
    };

    // Creates `modelsRoot` (errors ignored) and starts ready when the install directory
    // already holds a valid model, else notInstalled.
    ModelInstallManager(std::filesystem::path modelsRoot, ModelArtifact artifact);
    ~ModelInstallManager();

    ModelInstallManager(const ModelInstallManager&) = delete;
    ModelInstallManager& operator=(const ModelInstallManager&) = delete;

    const std::filesystem::path& modelsRoot() const { return modelsRoot_; }
    const ModelArtifact& artifact() const { return artifact_; }
    // modelsRoot / relativeInstallPath.
    std::filesystem::path installDirectory() const;

    asio::awaitable<ModelInstallSnapshot> snapshot();
    // Re-checks the install directory: ready or notInstalled.
    asio::awaitable<void> refresh();

    // Installs the first valid model folder found in `directory` (itself, or the first in a
    // sorted depth-first walk that skips hidden entries). Throws ModelInstallError::
    // modelPayloadMissing, or std::filesystem::filesystem_error from the copy and swap.
    asio::awaitable<void> importDirectory(std::filesystem::path directory);

    // Downloads, verifies, extracts, scans and installs the artifact. Throws
    // ModelInstallError::missingDownloadURL (state unchanged), or after that any
    // ModelInstallError, AssetTransferError or file-system error, with state failed. The
    // archive and the extraction directory never outlive the call, and the previous install
    // stays until the final swap. `progress` is called on the transfer's thread.
    asio::awaitable<void> downloadAndInstall(ModelDownloadSession session, ModelDownloadProgressHandler progress = {});

    // Downloads `url` into the session's private temporary directory on a thread of its own.
    // The status code is not judged. A body longer than `expectedBytes` (when above 0) fails
    // with AssetTransferError::bodyTooLarge. `progress` (may be empty) carries expectedBytes
    // as the total when given, else the announced length when above 0.
    static asio::awaitable<DownloadedArchive> downloadArchive(std::string url,
        std::optional<std::int64_t> expectedBytes, ModelDownloadSession session,
        ModelDownloadProgressHandler progress);

    // Throws ModelInstallError::invalidArchive unless the response is 2xx, then
    // checksumMismatch unless `expectedSHA256` (when given) lower-cased equals the file's.
    static void checkDownloadedArchive(const DownloadedArchive& archive, const std::optional<std::string>& expectedSHA256);

    // Extracts `archive` into a new private directory of the session and scans it; returns
    // the directory. On failure the directory is removed and the error passed on.
    static std::filesystem::path extractAndScan(const std::filesystem::path& archive, const ModelDownloadSession& session);

    // Lower-case hexadecimal SHA-256, the file read in 1 MiB chunks. Throws
    // std::filesystem::filesystem_error when it cannot be read.
    static std::string sha256File(const std::filesystem::path& file);
    static std::string sha256(std::string_view data);

    // Throws ModelInstallError::executableCodeInModelArchive for the first regular file under
    // `directory` (hidden ones included) that has any execute bit, or starts with a Mach-O or
    // ELF magic or "#!". Links and other non-regular entries are skipped. A directory that
    // cannot be walked at all passes; read errors inside it are thrown.
    static void rejectExecutableCode(const std::filesystem::path& directory);

private:
    asio::awaitable<ModelInstallSnapshot> doSnapshot();
    asio::awaitable<void> doRefresh();
    asio::awaitable<void> doImport(std::filesystem::path directory);
    asio::awaitable<void> doDownloadAndInstall(ModelDownloadSession session, ModelDownloadProgressHandler progress);
    void importNow(const std::filesystem::path& directory);
    void refreshNow();
    bool isInstalled() const;

    std::filesystem::path modelsRoot_;
    ModelArtifact artifact_;
    ModelInstallSnapshot state_;
    asio::thread_pool thread_{1};
    Strand strand_;
};

} // namespace hushnote
