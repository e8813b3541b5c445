#pragma once

#include "HushnoteCore/AssetTransfer.h"

#include <asio/awaitable.hpp>
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hushnote {

// One artifact the asset server offers.
struct RemoteAssetArtifact {
    std::string id;
    // "whisper-coreml" or "ollama-model-store"; other kinds are never selected.
    std::string kind;
    std::string version;
    // Relative to application support / "models"; never absolute, never with "." or "..".
    std::string relativeInstallPath;
    // Absolute, or relative to the manifest's own location.
    std::string downloadPath;
    std::optional<std::int64_t> compressedSizeBytes;
    std::optional<std::string> sha256;
    bool published = false;

    // id + "@" + version: how `latest` names an artifact.
    std::string name() const { return id + "@" + version; }

    bool operator==(const RemoteAssetArtifact&) const = default;
};

// Throws nlohmann::json::exception for a missing key or a value of another type, and
// RemoteAssetManifestError for an install path or name that could reach outside the models
// directory.
void from_json(const nlohmann::json& json, RemoteAssetArtifact& artifact);

// The asset server's JSON manifest.
struct RemoteAssetManifest {
    std::string manifestVersion;
    std::vector<RemoteAssetArtifact> artifacts;
    // Artifact kind -> the name (id@version) of the artifact to install.
    std::map<std::string, std::string> latest;

    static constexpr std::size_t kMaxManifestBytes = 1 << 20;
    static constexpr std::size_t kMaxSignatureBytes = 4096;

    // Fetches and decodes the manifest at `url` on a thread of its own. A response other than
    // 2xx throws ModelInstallError::invalidArchive; transport errors are AssetTransferError.
    // With `publicKey` (Base64 Ed25519), url + ".sig" must hold a valid detached signature of
    // the exact bytes, else RemoteAssetManifestError (signatureMissing for a non-2xx answer),
    // before anything is decoded.
    static asio::awaitable<RemoteAssetManifest> load(
        std::string url, ModelDownloadSession session, std::optional<std::string> publicKey);

    // Throws like from_json above; bytes that are not JSON give nlohmann::json::parse_error.
    static RemoteAssetManifest decode(std::string_view bytes);

    // With a `latest` entry for `kind`: the first artifact of that name and kind that is
    // published, else nothing (no fallback). Without one: the first published artifact of
    // the kind in array order.
    std::optional<RemoteAssetArtifact> publishedArtifact(const std::string& kind) const;

    // The artifact's downloadPath resolved against the manifest's location, in absolute form;
    // nullopt when it does not parse.
    static std::optional<std::string> downloadURL(const RemoteAssetArtifact& artifact, const std::string& manifestURL);
};

void from_json(const nlohmann::json& json, RemoteAssetManifest& manifest);

} // namespace hushnote
