#include "HushnoteApp/MicrophoneRecorderError.h"

namespace hushnote {

std::string MicrophoneRecorderError::description() const
{
    switch (kind_) {
    case Kind::permissionDenied: return "Microphone permission is required";
    case Kind::alreadyRecording: return "Microphone recording is already active";
    case Kind::notRecording: return "Microphone recording is not active";
    case Kind::failedToStart: return "Microphone recording could not start";
    case Kind::emptyRecording: return "Microphone recording did not contain any audio";
    }
    return "Microphone recording failed";
}

} // namespace hushnote
