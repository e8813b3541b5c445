#include "HushnoteApp/RemoteAssetManifest.h"

#include "HushnoteCore/BackgroundWork.h"
#include "HushnoteCore/ManifestSignature.h"
#include "HushnoteCore/ModelInstallError.h"
#include "HushnoteCore/RemoteAssetManifestError.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace hushnote {

namespace {

bool hasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// The install directory must be a proper sub-directory of the models directory: a manifest
// that could name "..", "/home/..." or the models directory itself would let whoever serves
// it replace arbitrary directories.
bool isSafeInstallPath(const std::string& path)
{
    if (path.empty() || path.front() == '/' || hasControlCharacter(path)) {
        return false;
    }
    bool hasComponent = false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto component = path.substr(start, end - start);
        if (component == "." || component == "..") {
            return false;
        }
        hasComponent = hasComponent || !component.empty();
        start = end + 1;
    }
    return hasComponent;
}

// id and version become part of a marker file's name.
bool isSafeNamePart(const std::string& text)
{
    return text.find('/') == std::string::npos && !hasControlCharacter(text);
}

template <typename T>
std::optional<T> optionalField(const nlohmann::json& json, const char* key)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) {
        return std::nullopt;
    }
    return it->template get<T>();
}

} // namespace

void from_json(const nlohmann::json& json, RemoteAssetArtifact& artifact)
{
    artifact.id = json.at("id").get<std::string>();
    artifact.kind = json.at("kind").get<std::string>();
    artifact.version = json.at("version").get<std::string>();
    artifact.relativeInstallPath = json.at("relativeInstallPath").get<std::string>();
    artifact.downloadPath = json.at("downloadPath").get<std::string>();
    const auto size = json.find("compressedSizeBytes");
    if (size != json.end() && !size->is_null() && !size->is_number_integer()) {
        throw nlohmann::json::type_error::create(302, "compressedSizeBytes must be an integer", &json);
    }
    artifact.compressedSizeBytes = optionalField<std::int64_t>(json, "compressedSizeBytes");
    artifact.sha256 = optionalField<std::string>(json, "sha256");
    const auto& published = json.at("published");
    if (!published.is_boolean()) {
        throw nlohmann::json::type_error::create(302, "published must be a Boolean", &json);
    }
    artifact.published = published.get<bool>();
    if (!isSafeInstallPath(artifact.relativeInstallPath)) {
        throw RemoteAssetManifestError::unsafeInstallPath(artifact.relativeInstallPath);
    }
    if (!isSafeNamePart(artifact.id)) {
        throw RemoteAssetManifestError::unsafeArtifactName(artifact.id);
    }
    if (!isSafeNamePart(artifact.version)) {
        throw RemoteAssetManifestError::unsafeArtifactName(artifact.version);
    }
}

void from_json(const nlohmann::json& json, RemoteAssetManifest& manifest)
{
    if (!json.is_object()) {
        throw nlohmann::json::type_error::create(302, "the manifest must be a JSON object", &json);
    }
    manifest.manifestVersion = json.at("manifestVersion").get<std::string>();
    manifest.artifacts = json.at("artifacts").get<std::vector<RemoteAssetArtifact>>();
    manifest.latest = json.at("latest").get<std::map<std::string, std::string>>();
}

RemoteAssetManifest RemoteAssetManifest::decode(std::string_view bytes)
{
    return nlohmann::json::parse(bytes.begin(), bytes.end()).get<RemoteAssetManifest>();
}

asio::awaitable<RemoteAssetManifest> RemoteAssetManifest::load(
    std::string url, ModelDownloadSession session, std::optional<std::string> publicKey)
{
    // A named callable: GCC 12 destroys some temporaries of a co_await expression twice.
    auto fetchAndDecode = [url = std::move(url), session = std::move(session), publicKey = std::move(publicKey)] {
        auto [response, body] = AssetTransfer::fetch(url, kMaxManifestBytes, session);
        if (!response.isSuccess()) {
            throw ModelInstallError::invalidArchive("manifest HTTP status " + std::to_string(response.statusCode));
        }
        if (publicKey) {
            const auto [signatureResponse, signature] = AssetTransfer::fetch(url + ".sig", kMaxSignatureBytes, session);
            if (!signatureResponse.isSuccess()) {
                throw RemoteAssetManifestError::signatureMissing();
            }
            ManifestSignature::verify(body, signature, *publicKey);
        }
        return decode(body);
    };
    co_return co_await runOnOwnThread(std::move(fetchAndDecode));
}

std::optional<RemoteAssetArtifact> RemoteAssetManifest::publishedArtifact(const std::string& kind) const
{
    const auto wanted = latest.find(kind);
    for (const auto& artifact : artifacts) {
        if (artifact.kind != kind || !artifact.published) {
            continue;
        }
        if (wanted == latest.end() || artifact.name() == wanted->second) {
            return artifact;
        }
    }
    return std::nullopt;
}

std::optional<std::string> RemoteAssetManifest::downloadURL(
    const RemoteAssetArtifact& artifact, const std::string& manifestURL)
{
    return AssetURL::resolve(artifact.downloadPath, manifestURL);
}

} // namespace hushnote
