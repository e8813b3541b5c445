#pragma once

#include "HushnoteCore/ModelInstallTypes.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace hushnote {

// Bounds on what one archive may unpack to.
struct ArchiveExtractionLimits {
    // Extracted bytes may reach sizeRatio x the archive's size plus byteAllowance (and never
    // more than the destination's free space).
    std::uint64_t sizeRatio = 4;
    std::uint64_t byteAllowance = std::uint64_t{1} << 30;
    std::uint64_t maxEntries = 100'000;
};

// The settings one install run hands to its transfers and extractions.
struct ModelDownloadSession {
    // Parent of the private per-user directory that downloads and extraction directories go to.
    std::filesystem::path temporaryDirectory = defaultTemporaryDirectory();
    std::chrono::seconds connectTimeout{30};
    // A transfer that receives nothing for this long fails with AssetTransferError::timedOut.
    std::chrono::seconds stallTimeout{60};
    // Certificate authorities to trust instead of the system's.
    std::optional<std::filesystem::path> certificateAuthorityFile;
    ArchiveExtractionLimits extractionLimits;

    // $TMPDIR when set and not empty, else /tmp.
    static std::filesystem::path defaultTemporaryDirectory();
};

struct HTTPResponse {
    long statusCode = 0;
    // The address that answered, after redirects.
    std::string url;
    // The length the server announced, when it did.
    std::optional<std::int64_t> expectedContentLength;

    bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
};

// Address parsing as the manifest needs it (libcurl's RFC 3986 parser).
struct AssetURL {
    // The absolute, normalised form of `text`; nullopt when it is empty or not an absolute URL.
    static std::optional<std::string> parse(const std::string& text);
    // `reference` resolved against `base` (an absolute reference stays as it is); nullopt when
    // either does not parse or the reference is empty.
    static std::optional<std::string> resolve(const std::string& reference, const std::string& base);
    // True for https, and for plain http to a loopback host (127.0.0.0/8, ::1, localhost).
    static bool isAllowedForAssets(const std::string& url);
};

// Blocking HTTP(S) transfers with libcurl; call them off the main loop. Only HTTPS, or plain
// HTTP to a loopback host, is requested, and redirects are followed only to HTTPS. TLS
// certificates are always verified. Throws AssetTransferError for transport failures; the
// status code is returned, not judged.
struct AssetTransfer {
    // Streams the body of `url` into `file` (created 0600, must not exist). `progress` gets
    // bytesReceived with `progressTotal` when given, else the server's announced length when
    // above 0, else no total. More than `maxBytes` (when given) fails with bodyTooLarge. On any
    // failure `file` is removed.
    static HTTPResponse downloadToFile(const std::string& url, const std::filesystem::path& file,
        std::optional<std::int64_t> maxBytes, std::optional<std::int64_t> progressTotal,
        const ModelDownloadSession& session, const ModelDownloadProgressHandler& progress);

    // The body of `url` in memory; more than `maxBytes` fails with bodyTooLarge.
    static std::pair<HTTPResponse, std::string> fetch(
        const std::string& url, std::size_t maxBytes, const ModelDownloadSession& session);

    // `session.temporaryDirectory`/hushnote-<uid>, created 0700 when missing. Throws
    // std::filesystem::filesystem_error when it exists but is not a directory this user owns.
    static std::filesystem::path privateTemporaryDirectory(const ModelDownloadSession& session);
};

} // namespace hushnote
