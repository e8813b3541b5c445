#pragma once

#include "Auralis/Runtime/FeatureProvider.h"
#include "Auralis/Runtime/MultiArray.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace auralis::runtime {

struct MultiArrayConstraint {
    std::vector<std::int64_t> shape;
    MultiArrayDataType dataType = MultiArrayDataType::float32;

    bool operator==(const MultiArrayConstraint&) const = default;
};

struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::multiArray;
    // Present for multi-array features.
    std::optional<MultiArrayConstraint> multiArrayConstraint;

    bool operator==(const FeatureDescription&) const = default;
};

// What a model takes and returns, in the order its model.json lists them.
struct ModelDescription {
    std::vector<FeatureDescription> inputs;
    std::vector<FeatureDescription> outputs;

    std::map<std::string, FeatureDescription> inputDescriptionsByName() const;
    std::map<std::string, FeatureDescription> outputDescriptionsByName() const;
    const FeatureDescription* input(std::string_view name) const;
    const FeatureDescription* output(std::string_view name) const;

    bool operator==(const ModelDescription&) const = default;
};

} // namespace auralis::runtime
