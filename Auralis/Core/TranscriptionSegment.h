#pragma once

#include "Auralis/Core/WordTiming.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// One stretch of transcript found in a window. Times are seconds from the start of the audio;
// `seek` is the sample position of the window that produced it.
struct TranscriptionSegment {
    // Position of the segment in the whole transcription, from 0.
    std::int64_t id = 0;
    std::int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text {};
    std::vector<std::int64_t> tokens {};
    // One single-entry map (token id -> log-probability) per token.
    std::vector<std::map<std::int64_t, float>> tokenLogProbs {};
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    // Present only when word timings were computed.
    std::optional<std::vector<WordTiming>> words {};

    float duration() const { return end - start; }

    bool operator==(const TranscriptionSegment&) const = default;
};

// Keys in order "id", "seek", "start", "end", "text", "tokens", "tokenLogProbs",
// "temperature", "avgLogprob", "compressionRatio", "noSpeechProb", "words" (omitted when
// absent). Token-keyed maps are objects with decimal keys.
template <typename J> void to_json(J& json, const TranscriptionSegment& segment);
template <typename J> void from_json(const J& json, TranscriptionSegment& segment);

std::size_t hashValue(const TranscriptionSegment& segment);

} // namespace auralis

template <> struct std::hash<auralis::TranscriptionSegment> {
    std::size_t operator()(const auralis::TranscriptionSegment& segment) const
    {
        return auralis::hashValue(segment);
    }
};
