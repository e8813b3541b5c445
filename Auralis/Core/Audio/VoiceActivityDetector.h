#pragma once

#include <asio/awaitable.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace auralis {

// Decides frame by frame whether 16 kHz audio holds speech. Subclasses provide
// voiceActivity(); the rest is shared. Holds only its configuration: every member is a pure
// function of its inputs and may run concurrently.
class VoiceActivityDetector {
public:
    VoiceActivityDetector(
        std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples)
        : sampleRate(sampleRate)
        , frameLengthSamples(frameLengthSamples)
        , frameOverlapSamples(frameOverlapSamples)
    {
    }
    virtual ~VoiceActivityDetector() = default;

    // Samples per second.
    const std::int64_t sampleRate;
    // Samples per decision frame.
    const std::int64_t frameLengthSamples;
    // Extra samples each frame's measurement reaches into the next frame.
    const std::int64_t frameOverlapSamples;

    // One flag per frame, true for an active frame.
    virtual std::vector<bool> voiceActivity(std::span<const float> samples) const = 0;

    // The same answer as voiceActivity(); `samples` must outlive the awaited operation.
    asio::awaitable<std::vector<bool>> voiceActivityAsync(std::span<const float> samples) const;

    // [start, end) sample ranges of consecutive active frames.
    std::vector<std::pair<std::int64_t, std::int64_t>> calculateActiveChunks(
        std::span<const float> samples) const;

    std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t index) const
    {
        return index * frameLengthSamples;
    }
    float voiceActivityIndexToSeconds(std::int64_t index) const
    {
        return static_cast<float>(index * frameLengthSamples) / static_cast<float>(sampleRate);
    }

    // The first of the longest runs of inactive frames as [first, one past last) frame
    // indices; nullopt when no frame is inactive.
    static std::optional<std::pair<std::int64_t, std::int64_t>> findLongestSilence(
        const std::vector<bool>& flags);
};

} // namespace auralis
