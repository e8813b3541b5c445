#include "HushnoteCore/OllamaRecords.h"

#include "HushnoteCore/JSONDecodingError.h"

#include <nlohmann/json.hpp>

namespace hushnote {

namespace {

using Kind = JSONDecodingError::Kind;

const nlohmann::json& required(const nlohmann::json& json, const char* key)
{
    if (!json.is_object()) {
        throw JSONDecodingError(Kind::typeMismatch);
    }
    const auto found = json.find(key);
    if (found == json.end()) {
        throw JSONDecodingError(Kind::keyNotFound);
    }
    return *found;
}

std::string string(const nlohmann::json& value)
{
    if (!value.is_string()) {
        throw JSONDecodingError(Kind::typeMismatch);
    }
    return value.get<std::string>();
}

std::int64_t integer(const nlohmann::json& value)
{
    if (!value.is_number_integer()) {
        throw JSONDecodingError(Kind::typeMismatch);
    }
    return value.get<std::int64_t>();
}

// Absent and null both read as absent.
const nlohmann::json* optional(const nlohmann::json& json, const char* key)
{
    if (!json.is_object()) {
        throw JSONDecodingError(Kind::typeMismatch);
    }
    const auto found = json.find(key);
    return found == json.end() || found->is_null() ? nullptr : &*found;
}

std::optional<std::string> optionalString(const nlohmann::json& json, const char* key)
{
    if (const auto* value = optional(json, key)) {
        return string(*value);
    }
    return std::nullopt;
}

std::optional<std::int64_t> optionalInteger(const nlohmann::json& json, const char* key)
{
    if (const auto* value = optional(json, key)) {
        return integer(*value);
    }
    return std::nullopt;
}

void setIfPresent(nlohmann::json& json, const char* key, const auto& value)
{
    if (value) {
        json[key] = *value;
    }
}

std::vector<OllamaModel> modelList(const nlohmann::json& json)
{
    const auto& models = required(json, "models");
    std::vector<OllamaModel> out;
    // A server with nothing installed may say null; it means an empty list.
    if (models.is_null()) {
        return out;
    }
    if (!models.is_array()) {
        throw JSONDecodingError(Kind::typeMismatch);
    }
    for (const auto& model : models) {
        out.push_back(model.get<OllamaModel>());
    }
    return out;
}

} // namespace

void to_json(nlohmann::json& json, const OllamaPullRequest& value)
{
    json = {{"model", value.model}, {"stream", value.stream}};
}

void to_json(nlohmann::json& json, const OllamaPreloadRequest& value)
{
    json = {{"model", value.model}, {"stream", value.stream}, {"keep_alive", value.keepAlive}};
}

void to_json(nlohmann::json& json, const OllamaChatMessage& value)
{
    json = {{"role", value.role}, {"content", value.content}};
}

void to_json(nlohmann::json& json, const OllamaChatRequest& value)
{
    json = {{"model", value.model}, {"stream", value.stream}, {"think", value.think},
        {"messages", value.messages}, {"keep_alive", value.keepAlive}};
}

void to_json(nlohmann::json& json, const OllamaVersion& value) { json = {{"version", value.version}}; }

void to_json(nlohmann::json& json, const OllamaModel::Details& value)
{
    json = nlohmann::json::object();
    setIfPresent(json, "format", value.format);
    setIfPresent(json, "family", value.family);
    setIfPresent(json, "parameter_size", value.parameterSize);
    setIfPresent(json, "quantization_level", value.quantizationLevel);
}

void to_json(nlohmann::json& json, const OllamaModel& value)
{
    json = {{"name", value.name}};
    setIfPresent(json, "model", value.model);
    setIfPresent(json, "size", value.size);
    setIfPresent(json, "digest", value.digest);
    setIfPresent(json, "details", value.details);
}

void to_json(nlohmann::json& json, const OllamaTagsResponse& value) { json = {{"models", value.models}}; }

void to_json(nlohmann::json& json, const OllamaProcessResponse& value) { json = {{"models", value.models}}; }

void to_json(nlohmann::json& json, const OllamaPullProgress& value)
{
    json = {{"status", value.status}};
    setIfPresent(json, "digest", value.digest);
    setIfPresent(json, "total", value.total);
    setIfPresent(json, "completed", value.completed);
}

void to_json(nlohmann::json& json, const OllamaChatResponse& value) { json = {{"message", value.message}}; }

void from_json(const nlohmann::json& json, OllamaChatMessage& value)
{
    value.role = string(required(json, "role"));
    value.content = string(required(json, "content"));
}

void from_json(const nlohmann::json& json, OllamaVersion& value) { value.version = string(required(json, "version")); }

void from_json(const nlohmann::json& json, OllamaModel::Details& value)
{
    value.format = optionalString(json, "format");
    value.family = optionalString(json, "family");
    value.parameterSize = optionalString(json, "parameter_size");
    value.quantizationLevel = optionalString(json, "quantization_level");
}

void from_json(const nlohmann::json& json, OllamaModel& value)
{
    value.name = string(required(json, "name"));
    value.model = optionalString(json, "model");
    value.size = optionalInteger(json, "size");
    value.digest = optionalString(json, "digest");
    value.details.reset();
    if (const auto* details = optional(json, "details")) {
        value.details = details->get<OllamaModel::Details>();
    }
}

void from_json(const nlohmann::json& json, OllamaTagsResponse& value) { value.models = modelList(json); }

void from_json(const nlohmann::json& json, OllamaProcessResponse& value) { value.models = modelList(json); }

void from_json(const nlohmann::json& json, OllamaPullProgress& value)
{
    value.status = string(required(json, "status"));
    value.digest = optionalString(json, "digest");
    value.total = optionalInteger(json, "total");
    value.completed = optionalInteger(json, "completed");
}

void from_json(const nlohmann::json& json, OllamaChatResponse& value)
{
    value.message = required(json, "message").get<OllamaChatMessage>();
}

template <typename T>
T decodeOllamaRecord(const std::string& body)
{
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception&) {
        throw JSONDecodingError(Kind::dataCorrupted);
    }
    try {
        return json.get<T>();
    } catch (const nlohmann::json::exception&) {
        throw JSONDecodingError(Kind::typeMismatch);
    }
}

template OllamaVersion decodeOllamaRecord<OllamaVersion>(const std::string&);
template OllamaTagsResponse decodeOllamaRecord<OllamaTagsResponse>(const std::string&);
template OllamaProcessResponse decodeOllamaRecord<OllamaProcessResponse>(const std::string&);
template OllamaPullProgress decodeOllamaRecord<OllamaPullProgress>(const std::string&);
template OllamaChatResponse decodeOllamaRecord<OllamaChatResponse>(const std::string&);

} // namespace hushnote
