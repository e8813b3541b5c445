#pragma once

#include "Auralis/Core/Constants.h"

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace auralis {

enum class DecodingTask { transcribe, translate };

inline constexpr std::array kAllDecodingTasks { DecodingTask::transcribe, DecodingTask::translate };

// "transcribe" or "translate".
const char* toString(DecodingTask task);

enum class ChunkingStrategy { none, vad };

inline constexpr std::array kAllChunkingStrategies { ChunkingStrategy::none,
    ChunkingStrategy::vad };

// The raw value: "none" or "vad".
const char* toString(ChunkingStrategy strategy);

// What a caller gives when creating DecodingOptions; unset fields take the engine defaults.
// The three optional arguments without a stored optional (`detectLanguage`, `suppressTokens`,
// `concurrentWorkerCount`) are resolved by DecodingOptions' constructor.
struct DecodingOptionsArguments {
    bool verbose = false;
    DecodingTask task = DecodingTask::transcribe;
    std::optional<std::string> language {};
    float temperature = 0.0f;
    float temperatureIncrementOnFallback = 0.2f;
    std::int64_t temperatureFallbackCount = 5;
    std::int64_t sampleLength = Constants::maxTokenContext;
    std::int64_t topK = 5;
    bool usePrefillPrompt = true;
    // Absent: the opposite of usePrefillPrompt.
    std::optional<bool> detectLanguage {};
    bool skipSpecialTokens = false;
    bool withoutTimestamps = false;
    bool wordTimestamps = false;
    std::optional<float> maxInitialTimestamp {};
    std::optional<std::int64_t> maxWindowSeek {};
    std::vector<float> clipTimestamps {};
    float windowClipTime = 1.0f;
    std::optional<std::vector<std::int64_t>> promptTokens {};
    std::optional<std::vector<std::int64_t>> prefixTokens {};
    bool suppressBlank = false;
    // Absent: empty.
    std::optional<std::vector<std::int64_t>> suppressTokens {};
    std::optional<float> compressionRatioThreshold = 2.4f;
    std::optional<float> logProbThreshold = -1.0f;
    std::optional<float> firstTokenLogProbThreshold = -1.5f;
    std::optional<float> noSpeechThreshold = 0.6f;
    // Absent: 16.
    std::optional<std::int64_t> concurrentWorkerCount {};
    std::optional<ChunkingStrategy> chunkingStrategy {};
};

// One transcription request's decoding settings. Times are seconds, sample counts are at
// 16 kHz. A plain value.
struct DecodingOptions {
    DecodingOptions()
        : DecodingOptions(DecodingOptionsArguments {})
    {
    }
    explicit DecodingOptions(const DecodingOptionsArguments& arguments);

    // Debug listings of segments and words; the transcription loop overrides it.
    bool verbose = false;
    // Selects the task token of the prompt.
    DecodingTask task = DecodingTask::transcribe;
    // Language code; absent lets the engine detect it or assume "en".
    std::optional<std::string> language {};
    // Temperature of a window's first attempt.
    float temperature = 0.0f;
    // Temperature step between attempts.
    float temperatureIncrementOnFallback = 0.2f;
    // Further attempts after the first.
    std::int64_t temperatureFallbackCount = 5;
    // Upper bound of decoding iterations per window (further capped at 223).
    std::int64_t sampleLength = Constants::maxTokenContext;
    // Candidates that temperature sampling draws from.
    std::int64_t topK = 5;
    // Build the forced start-of-transcript prompt.
    bool usePrefillPrompt = true;
    // Detect the language when none is given and the model is multilingual.
    bool detectLanguage = false;
    // Leave control, language and timestamp tokens out of texts.
    bool skipSpecialTokens = false;
    // Prompt with the no-timestamps token; no timestamp rules.
    bool withoutTimestamps = false;
    // Compute word timings for every segment.
    bool wordTimestamps = false;
    // Seconds; limit of the first timestamp.
    std::optional<float> maxInitialTimestamp {};
    // Samples; the most one window may advance.
    std::optional<std::int64_t> maxWindowSeek {};
    // Seconds; start and end times of the regions to transcribe, in pairs.
    std::vector<float> clipTimestamps {};
    // Seconds; a new window starts only while more than this remains in the region.
    float windowClipTime = 1.0f;
    // Previous-text context; the last 111 are used.
    std::optional<std::vector<std::int64_t>> promptTokens {};
    // Forced beginning of the transcript; the last 112 are used.
    std::optional<std::vector<std::int64_t>> prefixTokens {};
    // Forbid a blank or end token as the first sampled token.
    bool suppressBlank = false;
    // Ids never sampled (only those below the first special token take effect).
    std::vector<std::int64_t> suppressTokens {};
    std::optional<float> compressionRatioThreshold = 2.4f;
    std::optional<float> logProbThreshold = -1.0f;
    std::optional<float> firstTokenLogProbThreshold = -1.5f;
    std::optional<float> noSpeechThreshold = 0.6f;
    // Audio inputs the facade transcribes at once.
    std::int64_t concurrentWorkerCount = 16;
    std::optional<ChunkingStrategy> chunkingStrategy {};

    // `clipTimestamps` as (start, end) sample ranges over `contentFrames` samples; always at
    // least one pair, (0, contentFrames) when no clip timestamps are set.
    std::vector<std::pair<std::int64_t, std::int64_t>> prepareSeekClips(
        std::int64_t contentFrames) const;

    bool operator==(const DecodingOptions&) const = default;
};

// JSON with the field names as keys. Absent optionals are omitted on output and may be
// missing on input; every other key is required (from_json throws nlohmann::json::exception).
template <typename J> void to_json(J& json, const DecodingTask& task);
template <typename J> void from_json(const J& json, DecodingTask& task);
template <typename J> void to_json(J& json, const ChunkingStrategy& strategy);
template <typename J> void from_json(const J& json, ChunkingStrategy& strategy);
template <typename J> void to_json(J& json, const DecodingOptions& options);
template <typename J> void from_json(const J& json, DecodingOptions& options);

} // namespace auralis
