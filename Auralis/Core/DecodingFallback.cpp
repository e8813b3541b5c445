#include "Auralis/Core/DecodingFallback.h"

namespace auralis {

std::optional<DecodingFallback> DecodingFallback::make(const DecodingOptions& options,
    bool isFirstTokenLogProbTooLow, float noSpeechProb, float compressionRatio, float avgLogProb)
{
    if (isFirstTokenLogProbTooLow) {
        return DecodingFallback { true, "firstTokenLogProbThreshold" };
    }
    if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) {
        return DecodingFallback { false, "silence" };
    }
    if (options.compressionRatioThreshold
        && compressionRatio > *options.compressionRatioThreshold) {
        return DecodingFallback { true, "compressionRatioThreshold" };
    }
    if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) {
        return DecodingFallback { true, "logProbThreshold" };
    }
    return std::nullopt;
}

} // namespace auralis
