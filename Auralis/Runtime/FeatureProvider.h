#pragma once

#include "Auralis/Runtime/MultiArray.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace auralis::runtime {

enum class FeatureType {
    multiArray,
};

// A value handed to or returned from a model. Only multi-arrays are used by the engine.
class FeatureValue {
public:
    explicit FeatureValue(MultiArray array) : array_(std::move(array)) {}

    FeatureType type() const noexcept { return FeatureType::multiArray; }
    // The array (a handle sharing storage), or nullopt when the value holds none.
    std::optional<MultiArray> multiArrayValue() const
    {
        if (array_.empty()) {
            return std::nullopt;
        }
        return array_;
    }

private:
    MultiArray array_;
};

// Named inputs or outputs of a model.
class FeatureProvider {
public:
    virtual ~FeatureProvider() = default;
    virtual std::vector<std::string> featureNames() const = 0;
    // The value called `name`, or nullopt for any name the provider does not list.
    virtual std::optional<FeatureValue> featureValue(std::string_view name) const = 0;
};

// A provider backed by an ordered list of named arrays.
class DictionaryFeatureProvider final : public FeatureProvider {
public:
    DictionaryFeatureProvider() = default;
    DictionaryFeatureProvider(std::initializer_list<std::pair<std::string, MultiArray>> entries)
        : entries_(entries)
    {
    }

    // Replaces the entry with this name, or appends it.
    void set(std::string name, MultiArray array)
    {
        for (auto& entry : entries_) {
            if (entry.first == name) {
                entry.second = std::move(array);
                return;
            }
        }
        entries_.emplace_back(std::move(name), std::move(array));
    }

    std::vector<std::string> featureNames() const override
    {
        std::vector<std::string> names;
        names.reserve(entries_.size());
        for (const auto& entry : entries_) {
            names.push_back(entry.first);
        }
        return names;
    }

    std::optional<FeatureValue> featureValue(std::string_view name) const override
    {
        for (const auto& entry : entries_) {
            if (entry.first == name) {
                return FeatureValue(entry.second);
            }
        }
        return std::nullopt;
    }

    // The array called `name`, or an empty array.
    MultiArray array(std::string_view name) const
    {
        for (const auto& entry : entries_) {
            if (entry.first == name) {
                return entry.second;
            }
        }
        return {};
    }

    void clear() { entries_.clear(); }

private:
    std::vector<std::pair<std::string, MultiArray>> entries_;
};

} // namespace auralis::runtime
