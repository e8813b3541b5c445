#include "HushnoteCore/ManagedOllamaServerError.h"

namespace hushnote {

std::string ManagedOllamaServerError::description() const
{
    switch (kind_) {
    case Kind::binaryMissing: return "Bundled Ollama server binary is missing";
    case Kind::failedToStart: return "Managed Ollama server failed to start";
    case Kind::unhealthy: return "Managed Ollama server did not become healthy";
    case Kind::restartLimitReached: return "Managed Ollama server exceeded its one-restart limit";
    }
    return "Managed Ollama server failed";
}

} // namespace hushnote
