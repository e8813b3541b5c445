#pragma once

#include "Auralis/Core/DecodingOptions.h"

#include <optional>
#include <string>

namespace auralis {

// The verdict on one decoding attempt of a window.
struct DecodingFallback {
    bool needsFallback = false;
    // "firstTokenLogProbThreshold", "silence", "compressionRatioThreshold" or "logProbThreshold".
    std::string fallbackReason {};

    // The first rule that applies decides (comparisons strict, absent thresholds never
    // apply): a too-low first token, then silence (no fallback), then the compression
    // ratio, then the average log-probability. No rule applies: nullopt.
    static std::optional<DecodingFallback> make(const DecodingOptions& options,
        bool isFirstTokenLogProbTooLow, float noSpeechProb, float compressionRatio,
        float avgLogProb);

    bool operator==(const DecodingFallback&) const = default;
};

} // namespace auralis
