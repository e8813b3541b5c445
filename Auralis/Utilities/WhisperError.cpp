#include "Auralis/Utilities/WhisperError.h"

namespace auralis {

const char* toString(WhisperError::Kind kind)
{
    switch (kind) {
    case WhisperError::Kind::tokenizerUnavailable: return "tokenizerUnavailable";
    case WhisperError::Kind::modelsUnavailable: return "modelsUnavailable";
    case WhisperError::Kind::audioProcessingFailed: return "audioProcessingFailed";
    case WhisperError::Kind::decodingLogitsFailed: return "decodingLogitsFailed";
    case WhisperError::Kind::segmentingFailed: return "segmentingFailed";
    case WhisperError::Kind::loadAudioFailed: return "loadAudioFailed";
    case WhisperError::Kind::prepareDecoderInputsFailed: return "prepareDecoderInputsFailed";
    case WhisperError::Kind::transcriptionFailed: return "transcriptionFailed";
    case WhisperError::Kind::decodingFailed: return "decodingFailed";
    case WhisperError::Kind::microphoneUnavailable: return "microphoneUnavailable";
    case WhisperError::Kind::initializationError: return "initializationError";
    }
    return "unknown";
}

} // namespace auralis
