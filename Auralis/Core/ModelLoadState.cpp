#include "Auralis/Core/ModelLoadState.h"

namespace auralis {

const char* toString(ModelLoadState state)
{
    switch (state) {
    case ModelLoadState::unloading: return "unloading";
    case ModelLoadState::unloaded: return "unloaded";
    case ModelLoadState::loading: return "loading";
    case ModelLoadState::loaded: return "loaded";
    case ModelLoadState::prewarming: return "prewarming";
    case ModelLoadState::prewarmed: return "prewarmed";
    case ModelLoadState::downloading: return "downloading";
    case ModelLoadState::downloaded: return "downloaded";
    }
    return "unknown";
}

} // namespace auralis
