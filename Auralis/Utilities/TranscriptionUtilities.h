#pragma once

#include "Auralis/Core/TranscriptionResult.h"
#include "Auralis/Core/TranscriptionSegment.h"
#include "Auralis/Core/WordTiming.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// Helpers over finished results; the transcription path itself does not use them.
struct TranscriptionUtilities {
    // One line per segment: "[start --> end] text" with "%.2f" times, or the text alone.
    static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments, bool withTimestamps);
    // The segment moved later by `seekTime` seconds: seek by its samples (truncated), start,
    // end and every word's times by the seconds.
    static TranscriptionSegment updateSegmentTimings(TranscriptionSegment segment, float seekTime);
    // The leading words both lists share, compared lower-cased without surrounding white
    // space, line breaks and ASCII punctuation; the words are those of `words1`.
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& words1, const std::vector<WordTiming>& words2);
    // `words2` without the common prefix.
    static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& words1, const std::vector<WordTiming>& words2);
    // One result from several (null entries count as empty): text from `confirmedWords` joined
    // without separator when given, else the texts joined by single spaces; all segments in
    // order (ids kept); the first present language, "en" without one; the earliest time
    // points, durations and counts summed.
    static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
        const std::vector<std::shared_ptr<TranscriptionResult>>& results,
        const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

} // namespace auralis
