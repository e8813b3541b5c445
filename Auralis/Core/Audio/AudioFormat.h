#pragma once

#include <cstdint>

namespace auralis {

// Sample layout of a PCM buffer. The engine works in one layout only: 32-bit float samples,
// one separate array per channel (non-interleaved).
struct AudioFormat {
    enum class CommonFormat { float32 };

    CommonFormat commonFormat = CommonFormat::float32;
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    bool interleaved = false;

    // The standard format: float32, non-interleaved.
    static AudioFormat standard(double sampleRate, std::uint32_t channelCount)
    {
        return { CommonFormat::float32, sampleRate, channelCount, false };
    }

    // Bytes of one frame in one channel's storage: 4 for non-interleaved float32, 4 per
    // channel when interleaved.
    std::uint32_t bytesPerFrame() const { return interleaved ? 4 * channelCount : 4; }

    // A format the engine can hold: a positive, finite rate and at least one channel.
    bool isValid() const { return sampleRate > 0 && sampleRate < 1e9 && channelCount > 0; }

    bool operator==(const AudioFormat&) const = default;
};

} // namespace auralis
