#include "HushnoteApp/Platform/KeySourceError.h"

namespace hushnote {

std::string KeySourceError::description() const
{
    switch (kind_) {
    case Kind::displayUnavailable: return "The X11 display cannot be opened";
    case Kind::inputExtensionMissing: return "The X server does not offer XInput 2";
    case Kind::keyNotVisible: return "The dictation key cannot be seen through X11";
    }
    return "The key source failed";
}

} // namespace hushnote
