#include "HushnoteCore/OllamaClientError.h"

namespace hushnote {

std::string OllamaClientError::description() const
{
    switch (kind_) {
    case Kind::httpStatus: return "Ollama returned HTTP " + std::to_string(statusCode_) + ": " + text_;
    case Kind::modelNotInstalled: return "Ollama model is not installed: " + text_;
    case Kind::cloudModelRejected: return "Cloud Ollama models are disabled: " + text_;
    case Kind::invalidResponse: return "Ollama returned an invalid response";
    }
    return "Ollama request failed";
}

} // namespace hushnote
