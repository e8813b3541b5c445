#pragma once

// Helpers for the engine records' JSON coding. Records define to_json/from_json as templates
// over the nlohmann JSON type, so that nlohmann::ordered_json keeps their keys in declaration
// order while nlohmann::json works as usual.

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace auralis::json {

// A float as the double of its shortest decimal form, so 0.2f is written 0.2 rather than
// 0.20000000298023224.
inline double number(float value)
{
    if (!std::isfinite(value)) {
        return value;
    }
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

template <typename J> J floatArray(const std::vector<float>& values)
{
    J array = J::array();
    for (const float value : values) {
        array.push_back(number(value));
    }
    return array;
}

// Token id -> value maps are objects keyed by the decimal id.
template <typename J> J tokenLogProbsToJson(const std::vector<std::map<std::int64_t, float>>& value)
{
    J array = J::array();
    for (const auto& entry : value) {
        J object = J::object();
        for (const auto& [token, logProb] : entry) {
            object[std::to_string(token)] = number(logProb);
        }
        array.push_back(std::move(object));
    }
    return array;
}

// Throws nlohmann::json::exception when an entry is not an object or a key is not a decimal id.
template <typename J>
std::vector<std::map<std::int64_t, float>> tokenLogProbsFromJson(const J& value)
{
    if (!value.is_array()) {
        throw nlohmann::json::type_error::create(
            302, "token log-probabilities must be an array", &value);
    }
    std::vector<std::map<std::int64_t, float>> result;
    for (const auto& object : value) {
        if (!object.is_object()) {
            throw nlohmann::json::type_error::create(
                302, "token log-probabilities must be objects", &object);
        }
        std::map<std::int64_t, float> entry;
        for (const auto& [key, logProb] : object.items()) {
            std::int64_t token = 0;
            const auto parsed = std::from_chars(key.data(), key.data() + key.size(), token);
            if (key.empty() || parsed.ec != std::errc() || parsed.ptr != key.data() + key.size()) {
                throw nlohmann::json::type_error::create(
                    302, "token id key is not a decimal integer: " + key, &object);
            }
            entry[token] = logProb.template get<float>();
        }
        result.push_back(std::move(entry));
    }
    return result;
}

template <typename J, typename T>
void putIfPresent(J& object, const char* key, const std::optional<T>& value)
{
    if (value) {
        if constexpr (std::is_same_v<T, float>) {
            object[key] = number(*value);
        } else {
            object[key] = *value;
        }
    }
}

// Absent keys and null both decode as nullopt; present values must have the right type.
template <typename T, typename J> std::optional<T> optionalValue(const J& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    return it->template get<T>();
}

} // namespace auralis::json
