#include "Auralis/Core/Audio/VoiceActivityDetector.h"

#include <algorithm>

namespace auralis {

asio::awaitable<std::vector<bool>> VoiceActivityDetector::voiceActivityAsync(
    std::span<const float> samples) const
{
    co_return voiceActivity(samples);
}

std::vector<std::pair<std::int64_t, std::int64_t>> VoiceActivityDetector::calculateActiveChunks(
    std::span<const float> samples) const
{
    const auto flags = voiceActivity(samples);
    const auto total = static_cast<std::int64_t>(samples.size());
    std::vector<std::pair<std::int64_t, std::int64_t>> chunks;
    bool previousActive = false;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) {
            previousActive = false;
            continue;
        }
        const auto start = static_cast<std::int64_t>(i) * frameLengthSamples;
        const auto end = std::min(start + frameLengthSamples, total);
        if (previousActive) {
            chunks.back().second = end;
        } else {
            chunks.emplace_back(start, end);
        }
        previousActive = true;
    }
    return chunks;
}

std::optional<std::pair<std::int64_t, std::int64_t>> VoiceActivityDetector::findLongestSilence(
    const std::vector<bool>& flags)
{
    std::optional<std::pair<std::int64_t, std::int64_t>> longest;
    std::int64_t runStart = -1;
    auto closeRun = [&](std::int64_t end) {
        if (runStart >= 0 && (!longest || end - runStart > longest->second - longest->first)) {
            longest = std::pair { runStart, end };
        }
        runStart = -1;
    };
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i] && runStart < 0) {
            runStart = static_cast<std::int64_t>(i);
        } else if (flags[i]) {
            closeRun(static_cast<std::int64_t>(i));
        }
    }
    closeRun(static_cast<std::int64_t>(flags.size()));
    return longest;
}

} // namespace auralis
