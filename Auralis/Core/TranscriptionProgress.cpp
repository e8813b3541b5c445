#include "Auralis/Core/TranscriptionProgress.h"

namespace auralis {

const char* toString(TranscriptionState state)
{
    switch (state) {
    case TranscriptionState::convertingAudio:
        return "Converting Audio";
    case TranscriptionState::transcribing:
        return "Transcribing";
    case TranscriptionState::finished:
        return "Finished";
    }
    return "Finished";
}

} // namespace auralis
