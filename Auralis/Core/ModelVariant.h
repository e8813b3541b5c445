#pragma once

#include <array>
#include <string>

namespace auralis {

// Whisper model sizes the engine recognises.
enum class ModelVariant {
    tiny,
    tinyEn,
    base,
    baseEn,
    small,
    smallEn,
    medium,
    mediumEn,
    large,
    largev2,
    largev3,
};

inline constexpr std::array kAllModelVariants {
    ModelVariant::tiny,
    ModelVariant::tinyEn,
    ModelVariant::base,
    ModelVariant::baseEn,
    ModelVariant::small,
    ModelVariant::smallEn,
    ModelVariant::medium,
    ModelVariant::mediumEn,
    ModelVariant::large,
    ModelVariant::largev2,
    ModelVariant::largev3,
};

// "tiny", "tiny.en", ..., "large-v2", "large-v3".
const char* toString(ModelVariant variant);

// True for every variant whose text does not end in ".en".
bool isMultilingual(ModelVariant variant);

} // namespace auralis
