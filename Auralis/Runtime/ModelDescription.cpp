#include "Auralis/Runtime/ModelDescription.h"

namespace auralis::runtime {

namespace {

std::map<std::string, FeatureDescription> byName(const std::vector<FeatureDescription>& features)
{
    std::map<std::string, FeatureDescription> map;
    for (const auto& feature : features) {
        map.emplace(feature.name, feature);
    }
    return map;
}

const FeatureDescription* find(const std::vector<FeatureDescription>& features, std::string_view name)
{
    for (const auto& feature : features) {
        if (feature.name == name) {
            return &feature;
        }
    }
    return nullptr;
}

} // namespace

std::map<std::string, FeatureDescription> ModelDescription::inputDescriptionsByName() const { return byName(inputs); }

std::map<std::string, FeatureDescription> ModelDescription::outputDescriptionsByName() const { return byName(outputs); }

const FeatureDescription* ModelDescription::input(std::string_view name) const { return find(inputs, name); }

const FeatureDescription* ModelDescription::output(std::string_view name) const { return find(outputs, name); }

} // namespace auralis::runtime
