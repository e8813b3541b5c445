#include "HushnoteApp/Platform/AudioCaptureError.h"

namespace hushnote {

std::string AudioCaptureError::description() const
{
    switch (kind_) {
    case Kind::streamRefused: return "The sound server refused a capture stream: " + detail_;
    }
    return "The sound server failed";
}

} // namespace hushnote
