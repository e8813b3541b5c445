#include "HushnoteCore/ModelInstallTypes.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace hushnote {

namespace {

template <typename T>
void readOptional(const nlohmann::json& json, const char* key, std::optional<T>& field)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) {
        field.reset();
        return;
    }
    field = it->template get<T>();
}

} // namespace

void to_json(nlohmann::json& json, const ModelArtifact& artifact)
{
    json = nlohmann::json::object();
    json["id"] = artifact.id;
    if (artifact.downloadURL) {
        json["downloadURL"] = *artifact.downloadURL;
    }
    if (artifact.sha256) {
        json["sha256"] = *artifact.sha256;
    }
    json["relativeInstallPath"] = artifact.relativeInstallPath;
    if (artifact.compressedSizeBytes) {
        json["compressedSizeBytes"] = *artifact.compressedSizeBytes;
    }
}

void from_json(const nlohmann::json& json, ModelArtifact& artifact)
{
    artifact.id = json.at("id").get<std::string>();
    readOptional(json, "downloadURL", artifact.downloadURL);
    readOptional(json, "sha256", artifact.sha256);
    artifact.relativeInstallPath = json.at("relativeInstallPath").get<std::string>();
    // A fractional size is another type, not a size to round.
    const auto size = json.find("compressedSizeBytes");
    if (size != json.end() && !size->is_null() && !size->is_number_integer()) {
        throw nlohmann::json::type_error::create(302, "compressedSizeBytes must be an integer", &json);
    }
    readOptional(json, "compressedSizeBytes", artifact.compressedSizeBytes);
}

std::string_view toString(ModelInstallStatus status)
{
    switch (status) {
    case ModelInstallStatus::notInstalled: return "notInstalled";
    case ModelInstallStatus::downloading: return "downloading";
    case ModelInstallStatus::verifying: return "verifying";
    case ModelInstallStatus::ready: return "ready";
    case ModelInstallStatus::failed: return "failed";
    }
    return "failed";
}

void to_json(nlohmann::json& json, ModelInstallStatus status)
{
    json = std::string(toString(status));
}

void from_json(const nlohmann::json& json, ModelInstallStatus& status)
{
    const auto text = json.get<std::string>();
    for (const auto candidate : kAllModelInstallStatuses) {
        if (toString(candidate) == text) {
            status = candidate;
            return;
        }
    }
    throw nlohmann::json::other_error::create(501, "unknown model install status \"" + text + "\"", &json);
}

std::optional<double> ModelDownloadProgress::fractionCompleted() const
{
    if (!totalBytesExpected || *totalBytesExpected <= 0) {
        return std::nullopt;
    }
    const double fraction = static_cast<double>(bytesReceived) / static_cast<double>(*totalBytesExpected);
    return std::clamp(fraction, 0.0, 1.0);
}

} // namespace hushnote
