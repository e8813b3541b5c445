#pragma once

#include "Auralis/Core/Audio/VoiceActivityDetector.h"

namespace auralis {

// A frame is active when its root mean square is strictly above `energyThreshold`. The
// engine's default: 16 kHz, 1600-sample (0.1 s) frames, no overlap, threshold 0.02.
class EnergyVAD final : public VoiceActivityDetector {
public:
    EnergyVAD(std::int64_t sampleRate = 16000, std::int64_t frameLengthSamples = 1600,
        std::int64_t frameOverlapSamples = 0, float energyThreshold = 0.02f);

    // Frame length and overlap in seconds (their sample counts truncated from float products).
    static EnergyVAD fromSeconds(
        std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold);

    const float energyThreshold;

    // ceil(samples / frameLengthSamples) flags; none for an empty input.
    std::vector<bool> voiceActivity(std::span<const float> samples) const override;
};

} // namespace auralis
