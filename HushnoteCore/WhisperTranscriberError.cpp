#include "HushnoteCore/WhisperTranscriberError.h"

namespace hushnote {

std::string WhisperTranscriberError::description() const
{
    switch (kind_) {
    case Kind::requiredModelFileMissing: return "Whisper model directory is missing " + name_;
    case Kind::modelPathMissing: return "Whisper model directory does not exist";
    case Kind::runtimeNotLinked: return "Auralis is not linked. Rebuild with HUSHNOTE_ENABLE_AURALIS=1";
    case Kind::emptyTranscript: return "Whisper returned an empty transcript";
    }
    return "Whisper transcription failed";
}

} // namespace hushnote
