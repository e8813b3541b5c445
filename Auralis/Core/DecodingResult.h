#pragma once

#include "Auralis/Core/DecodingFallback.h"
#include "Auralis/Core/TranscriptionTimings.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// The outcome of decoding one window (or of language detection). The decoder's key/value
// caches and cross-attention weights travel separately with the decoder's multi-arrays.
struct DecodingResult {
    std::string language {};
    // Language code -> probability (what the value holds is the decoder's business).
    std::map<std::string, float> languageProbs {};
    std::vector<std::int64_t> tokens {};
    // One single-entry map (token id -> log-probability) per token.
    std::vector<std::map<std::int64_t, float>> tokenLogProbs {};
    std::string text {};
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<TranscriptionTimings> timings {};
    std::optional<DecodingFallback> fallback {};

    // Empty texts, map and lists, all four numbers 0, no timings and no fallback.
    static DecodingResult emptyResults() { return {}; }

    bool operator==(const DecodingResult&) const = default;
};

} // namespace auralis
