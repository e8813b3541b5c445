#include "HushnoteCore/BundledModelSeederError.h"

namespace hushnote {

std::string BundledModelSeederError::description() const
{
    switch (kind_) {
    case Kind::invalidBundledWhisperModel: return "Bundled Whisper model is missing required Core ML files";
    case Kind::invalidBundledOllamaStore: return "Bundled Ollama model store is empty or invalid";
    }
    return "Bundled model is invalid";
}

} // namespace hushnote
