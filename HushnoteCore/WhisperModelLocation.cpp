#include "HushnoteCore/WhisperModelLocation.h"

namespace hushnote {

std::string_view toString(WhisperModelLocation::Source source)
{
    switch (source) {
    case WhisperModelLocation::Source::managed:
        return "managed";
    case WhisperModelLocation::Source::configured:
        return "configured";
    }
    return "managed";
}

} // namespace hushnote
