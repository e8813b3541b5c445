#include "Auralis/Runtime/ModelError.h"

namespace auralis::runtime {

const char* toString(ModelError::Kind kind)
{
    switch (kind) {
    case ModelError::Kind::loadFailed: return "loadFailed";
    case ModelError::Kind::predictionFailed: return "predictionFailed";
    case ModelError::Kind::invalidArray: return "invalidArray";
    case ModelError::Kind::importFailed: return "importFailed";
    }
    return "unknown";
}

} // namespace auralis::runtime
