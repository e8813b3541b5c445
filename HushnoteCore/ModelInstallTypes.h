#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace hushnote {

// One installable model archive. JSON keys are the field names; absent optional fields are
// left out when encoding.
struct ModelArtifact {
    // Also the model id the installed folder is validated with.
    std::string id;
    // Where the zip archive is downloaded from (absolute URL text).
    std::optional<std::string> downloadURL;
    // Expected SHA-256 of the archive as hexadecimal text, either case.
    std::optional<std::string> sha256;
    // The install directory, relative to the models root.
    std::string relativeInstallPath;
    // The archive's size in bytes: the progress total, and the most a download may receive.
    std::optional<std::int64_t> compressedSizeBytes;

    bool operator==(const ModelArtifact&) const = default;
};

// Throws nlohmann::json::exception when a required key is missing or a value has another type.
void to_json(nlohmann::json& json, const ModelArtifact& artifact);
void from_json(const nlohmann::json& json, ModelArtifact& artifact);

enum class ModelInstallStatus { notInstalled, downloading, verifying, ready, failed };

inline constexpr std::array kAllModelInstallStatuses{ModelInstallStatus::notInstalled,
    ModelInstallStatus::downloading, ModelInstallStatus::verifying, ModelInstallStatus::ready,
    ModelInstallStatus::failed};

std::string_view toString(ModelInstallStatus status);
void to_json(nlohmann::json& json, ModelInstallStatus status);
void from_json(const nlohmann::json& json, ModelInstallStatus& status);

struct ModelInstallSnapshot {
    ModelArtifact artifact;
    ModelInstallStatus status = ModelInstallStatus::notInstalled;
    // The failure's description when status is failed, otherwise absent.
    std::optional<std::string> detail;

    bool operator==(const ModelInstallSnapshot&) const = default;
};

struct ModelDownloadProgress {
    std::int64_t bytesReceived = 0;
    std::optional<std::int64_t> totalBytesExpected;

    // Absent without a total above 0; otherwise received / total, clamped to 0...1.
    std::optional<double> fractionCompleted() const;

    bool operator==(const ModelDownloadProgress&) const = default;
};

// Called on the transfer's own thread, once per chunk written to disk; must be thread-safe
// towards whatever it touches and must not block the transfer for long.
using ModelDownloadProgressHandler = std::function<void(const ModelDownloadProgress&)>;

} // namespace hushnote
