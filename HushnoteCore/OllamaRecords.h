#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hushnote {

// The JSON records of the Ollama calls. Requests are only encoded, responses only decoded
// (unknown keys ignored; a missing required key or a wrong type throws JSONDecodingError).

struct OllamaPullRequest {
    std::string model;
    bool stream = false;
    bool operator==(const OllamaPullRequest&) const = default;
};

struct OllamaPreloadRequest {
    std::string model;
    bool stream = false;
    std::string keepAlive;
    bool operator==(const OllamaPreloadRequest&) const = default;
};

struct OllamaChatMessage {
    std::string role;
    std::string content;
    bool operator==(const OllamaChatMessage&) const = default;
};

struct OllamaChatRequest {
    std::string model;
    bool stream = false;
    bool think = false;
    std::vector<OllamaChatMessage> messages;
    std::string keepAlive = "10m";
    bool operator==(const OllamaChatRequest&) const = default;
};

struct OllamaVersion {
    std::string version;
    bool operator==(const OllamaVersion&) const = default;
};

struct OllamaModel {
    struct Details {
        std::optional<std::string> format;
        std::optional<std::string> family;
        std::optional<std::string> parameterSize;
        std::optional<std::string> quantizationLevel;
        bool operator==(const Details&) const = default;
    };

    std::string name;
    std::optional<std::string> model;
    std::optional<std::int64_t> size;
    std::optional<std::string> digest;
    std::optional<Details> details;
    bool operator==(const OllamaModel&) const = default;
};

struct OllamaTagsResponse {
    std::vector<OllamaModel> models;
    bool operator==(const OllamaTagsResponse&) const = default;
};

struct OllamaProcessResponse {
    std::vector<OllamaModel> models;
    bool operator==(const OllamaProcessResponse&) const = default;
};

struct OllamaPullProgress {
    std::string status;
    std::optional<std::string> digest;
    std::optional<std::int64_t> total;
    std::optional<std::int64_t> completed;
    bool operator==(const OllamaPullProgress&) const = default;
};

struct OllamaChatResponse {
    OllamaChatMessage message;
    bool operator==(const OllamaChatResponse&) const = default;
};

void to_json(nlohmann::json& json, const OllamaPullRequest& value);
void to_json(nlohmann::json& json, const OllamaPreloadRequest& value);
void to_json(nlohmann::json& json, const OllamaChatMessage& value);
void to_json(nlohmann::json& json, const OllamaChatRequest& value);
void to_json(nlohmann::json& json, const OllamaVersion& value);
void to_json(nlohmann::json& json, const OllamaModel::Details& value);
void to_json(nlohmann::json& json, const OllamaModel& value);
void to_json(nlohmann::json& json, const OllamaTagsResponse& value);
void to_json(nlohmann::json& json, const OllamaProcessResponse& value);
void to_json(nlohmann::json& json, const OllamaPullProgress& value);
void to_json(nlohmann::json& json, const OllamaChatResponse& value);

void from_json(const nlohmann::json& json, OllamaChatMessage& value);
void from_json(const nlohmann::json& json, OllamaVersion& value);
void from_json(const nlohmann::json& json, OllamaModel::Details& value);
void from_json(const nlohmann::json& json, OllamaModel& value);
void from_json(const nlohmann::json& json, OllamaTagsResponse& value);
void from_json(const nlohmann::json& json, OllamaProcessResponse& value);
void from_json(const nlohmann::json& json, OllamaPullProgress& value);
void from_json(const nlohmann::json& json, OllamaChatResponse& value);

// Parses `body` and decodes it as T; every failure becomes a JSONDecodingError.
template <typename T>
T decodeOllamaRecord(const std::string& body);

} // namespace hushnote
