#pragma once

#include "Auralis/Core/TranscriptionSegment.h"
#include "Auralis/Core/TranscriptionTimings.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// Handed to the progress callback after every decoding iteration of a window.
struct TranscriptionProgress {
    // Timings of the window so far.
    TranscriptionTimings timings {};
    // Decoded text of the current tokens.
    std::string text {};
    std::vector<std::int64_t> tokens {};
    std::optional<float> temperature {};
    std::optional<float> avgLogprob {};
    std::optional<float> compressionRatio {};
    // Which window of the transcription is being decoded.
    std::int64_t windowId = 0;

    bool operator==(const TranscriptionProgress&) const = default;
};

// Returning false asks the engine to stop decoding the current window early; true or nullopt
// lets it continue.
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

// Receives the segments found in one window.
using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

enum class TranscriptionState { convertingAudio, transcribing, finished };

inline constexpr std::array kAllTranscriptionStates { TranscriptionState::convertingAudio,
    TranscriptionState::transcribing, TranscriptionState::finished };

// "Converting Audio", "Transcribing", "Finished".
const char* toString(TranscriptionState state);

} // namespace auralis
