#include "Auralis/Core/Audio/EnergyVAD.h"

#include "Auralis/Core/Audio/AudioProcessor.h"

#include <cmath>

namespace auralis {

EnergyVAD::EnergyVAD(std::int64_t sampleRate, std::int64_t frameLengthSamples,
    std::int64_t frameOverlapSamples, float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples)
    , energyThreshold(energyThreshold)
{
}

EnergyVAD EnergyVAD::fromSeconds(
    std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold)
{
    const auto rate = static_cast<float>(sampleRate);
    return EnergyVAD(sampleRate, static_cast<std::int64_t>(frameLength * rate),
        static_cast<std::int64_t>(frameOverlap * rate), energyThreshold);
}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> samples) const
{
    if (samples.empty() || frameLengthSamples <= 0) {
        return {};
    }
    const auto frames = static_cast<std::int64_t>(
        std::ceil(static_cast<double>(samples.size()) / static_cast<double>(frameLengthSamples)));
    return AudioProcessor::calculateVoiceActivityInChunks(
        samples, frames, frameLengthSamples, frameOverlapSamples, energyThreshold);
}

} // namespace auralis
