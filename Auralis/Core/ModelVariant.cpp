#include "Auralis/Core/ModelVariant.h"

#include <string_view>

namespace auralis {

const char* toString(ModelVariant variant)
{
    switch (variant) {
    case ModelVariant::tiny:
        return "tiny";
    case ModelVariant::tinyEn:
        return "tiny.en";
    case ModelVariant::base:
        return "base";
    case ModelVariant::baseEn:
        return "base.en";
    case ModelVariant::small:
        return "small";
    case ModelVariant::smallEn:
        return "small.en";
    case ModelVariant::medium:
        return "medium";
    case ModelVariant::mediumEn:
        return "medium.en";
    case ModelVariant::large:
        return "large";
    case ModelVariant::largev2:
        return "large-v2";
    case ModelVariant::largev3:
        return "large-v3";
    }
    return "tiny";
}

bool isMultilingual(ModelVariant variant)
{
    return !std::string_view(toString(variant)).ends_with(".en");
}

} // namespace auralis
