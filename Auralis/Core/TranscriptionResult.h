#pragma once

#include "Auralis/Core/TranscriptionSegment.h"
#include "Auralis/Core/TranscriptionTimings.h"
#include "Auralis/Core/WordTiming.h"
#include "Auralis/Utilities/Locked.h"

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// The five fields of a transcription result as a plain value.
struct TranscriptionResultStruct {
    std::string text {};
    std::vector<TranscriptionSegment> segments {};
    std::string language {};
    TranscriptionTimings timings {};
    std::optional<float> seekTime {};

    bool operator==(const TranscriptionResultStruct&) const = default;
};

// The result of transcribing one input: a shared object (held through std::shared_ptr) whose
// properties may be read and written from any thread. Each property has its own lock; a read
// returns a copy, so a reader sees either the old or the new value, never a torn one. No lock
// spans two properties.
class TranscriptionResult {
public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
        std::string language, TranscriptionTimings timings,
        std::optional<float> seekTime = std::nullopt);
    explicit TranscriptionResult(TranscriptionResultStruct value);

    TranscriptionResult(const TranscriptionResult&) = delete;
    TranscriptionResult& operator=(const TranscriptionResult&) = delete;

    std::string text() const { return text_.get(); }
    void setText(std::string text) { text_.set(std::move(text)); }
    std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
    void setSegments(std::vector<TranscriptionSegment> segments)
    {
        segments_.set(std::move(segments));
    }
    std::string language() const { return language_.get(); }
    void setLanguage(std::string language) { language_.set(std::move(language)); }
    TranscriptionTimings timings() const { return timings_.get(); }
    void setTimings(TranscriptionTimings timings) { timings_.set(timings); }
    // Start, in seconds, of the audio chunk this result covers (set by chunked transcription).
    std::optional<float> seekTime() const { return seekTime_.get(); }
    void setSeekTime(std::optional<float> seekTime) { seekTime_.set(seekTime); }

    // Read-modify-write of one property under its lock.
    template <typename F> void updateSegments(F&& update)
    {
        segments_.withLock(std::forward<F>(update));
    }
    template <typename F> void updateTimings(F&& update)
    {
        timings_.withLock(std::forward<F>(update));
    }

    // The words of every segment that has them, in segment order.
    std::vector<WordTiming> allWords() const;

    // A snapshot of all five properties (each read under its own lock).
    TranscriptionResultStruct snapshot() const;

    // One debug line per segment: "[Segment i] [start --> end] text", times "%.2f".
    void logSegments() const;
    // The timing report, at info level.
    void logTimings() const;
    // The text of that report.
    std::string timingsReport() const;

private:
    Locked<std::string> text_;
    Locked<std::vector<TranscriptionSegment>> segments_;
    Locked<std::string> language_;
    Locked<TranscriptionTimings> timings_;
    Locked<std::optional<float>> seekTime_;
};

// Keys "text", "segments", "language", "timings", "seekTime" (omitted when absent on output,
// optional on input; every other key is required).
template <typename J> void to_json(J& json, const TranscriptionResultStruct& result);
template <typename J> void from_json(const J& json, TranscriptionResultStruct& result);
template <typename J> void to_json(J& json, const TranscriptionResult& result);
// Decodes into a new shared result.
template <typename J>
std::shared_ptr<TranscriptionResult> transcriptionResultFromJson(const J& json);

} // namespace auralis
