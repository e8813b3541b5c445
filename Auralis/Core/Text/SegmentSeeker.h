#pragma once

#include "Auralis/Core/DecodingOptions.h"
#include "Auralis/Core/DecodingResult.h"
#include "Auralis/Core/TranscriptionSegment.h"
#include "Auralis/Core/TranscriptionTimings.h"
#include "Auralis/Core/Text/WhisperTokenizer.h"
#include "Auralis/Core/WordTiming.h"
#include "Auralis/Runtime/MultiArray.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace auralis {

// Cuts a window's tokens into timed segments and aligns words with the audio.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // The new seek (samples) and the window's segments; nullopt segments when the window is
    // judged silent. Never throws.
    virtual std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
        std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
        std::int64_t specialToken, const WhisperTokenizer& tokenizer) = 0;

    // The segments with word timings from the decoder's [tokens, frames] alignment weights
    // (row k belongs to token k of the window). Throws WhisperError (segmentingFailed).
    virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        std::optional<std::vector<TranscriptionSegment>> segments, const runtime::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        std::string_view prependPunctuations, std::string_view appendPunctuations, float lastSpeechTimestamp,
        const DecodingOptions& options, const TranscriptionTimings& timings) = 0;
};

// Stateless; every member works only on its arguments and may run on any thread. The steps
// of word alignment are public and virtual so a specialisation can replace one of them.
class SegmentSeeker : public SegmentSeeking {
public:
    SegmentSeeker() = default;

    std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, std::int64_t allSegmentsCount,
        std::int64_t currentSeek, std::int64_t segmentSize, std::int64_t sampleRate, std::int64_t timeToken,
        std::int64_t specialToken, const WhisperTokenizer& tokenizer) override;

    // Text indices and time indices of the monotonic path of greatest total weight through a
    // two-dimensional [tokens, frames] matrix. Weights that are not finite count as 0.
    // Throws WhisperError (segmentingFailed) "Invalid alignment matrix shape".
    virtual std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> dynamicTimeWarping(
        const runtime::MultiArray& matrix) const;
    // (cost, trace code): 0 diagonal, 1 up, 2 left; ties fall through to the later rule.
    virtual std::pair<double, int> minCostAndTrace(double diagonal, double up, double left, double value) const;
    // Walks a (N + 1) x (M + 1) trace table, stored row-major, back from (N, M).
    virtual std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>> backtrace(
        const std::vector<int>& trace, std::int64_t rows, std::int64_t columns) const;
    virtual std::vector<WordTiming> mergePunctuations(
        const std::vector<WordTiming>& alignment, std::string_view prepended, std::string_view appended) const;
    // Words with times relative to the window start.
    virtual std::vector<WordTiming> findAlignment(const std::vector<std::int64_t>& wordTokenIds,
        const runtime::MultiArray& alignmentWeights, const std::vector<float>& tokenLogProbs,
        const WhisperTokenizer& tokenizer, const std::optional<TranscriptionTimings>& timings = std::nullopt) const;

    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        std::optional<std::vector<TranscriptionSegment>> segments, const runtime::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        std::string_view prependPunctuations, std::string_view appendPunctuations, float lastSpeechTimestamp,
        const DecodingOptions& options, const TranscriptionTimings& timings) override;

    // (median, max) of the positive word durations; the median is capped at 0.7 s.
    virtual std::pair<float, float> calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const;
    virtual std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(
        const std::vector<WordTiming>& alignment, float maxDuration) const;
    virtual std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(std::vector<TranscriptionSegment> segments,
        const std::vector<WordTiming>& mergedAlignment, std::int64_t seek, float lastSpeechTimestamp,
        float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer) const;
};

} // namespace auralis
