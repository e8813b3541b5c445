#pragma once

#include "Auralis/Runtime/ComputeUnits.h"

#include <optional>

namespace auralis {

using MLComputeUnits = runtime::ComputeUnits;

// Which compute units each of the three models gets.
struct ModelComputeOptions {
    // The mel-spectrogram model.
    MLComputeUnits melCompute = MLComputeUnits::cpuAndGPU;
    // The audio encoder; an absent choice resolves to CPU and Neural Engine, the choice for
    // current systems (this platform always counts as one).
    MLComputeUnits audioEncoderCompute = MLComputeUnits::cpuAndNeuralEngine;
    // The text decoder.
    MLComputeUnits textDecoderCompute = MLComputeUnits::cpuAndNeuralEngine;

    ModelComputeOptions() = default;
    explicit ModelComputeOptions(MLComputeUnits melCompute, std::optional<MLComputeUnits> audioEncoderCompute = std::nullopt,
        MLComputeUnits textDecoderCompute = MLComputeUnits::cpuAndNeuralEngine);

    bool operator==(const ModelComputeOptions&) const = default;
};

} // namespace auralis
