#pragma once

#include <array>

namespace auralis {

// The engine's model state; the facade moves it through loading and prewarming, and each
// model wrapper derives loaded or unloaded from whether it holds a model.
enum class ModelLoadState {
    unloading,
    unloaded,
    loading,
    loaded,
    prewarming,
    prewarmed,
    downloading,
    downloaded,
};

inline constexpr std::array kAllModelLoadStates {
    ModelLoadState::unloading,
    ModelLoadState::unloaded,
    ModelLoadState::loading,
    ModelLoadState::loaded,
    ModelLoadState::prewarming,
    ModelLoadState::prewarmed,
    ModelLoadState::downloading,
    ModelLoadState::downloaded,
};

const char* toString(ModelLoadState state);

} // namespace auralis
