#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace auralis::runtime {

// Where a model may run. Every choice runs on the CPU on this platform; the choice is kept so
// callers and descriptions can state their intent.
enum class ComputeUnits {
    cpuOnly,
    cpuAndGPU,
    all,
    cpuAndNeuralEngine,
};

inline constexpr std::array kAllComputeUnits {
    ComputeUnits::cpuOnly,
    ComputeUnits::cpuAndGPU,
    ComputeUnits::all,
    ComputeUnits::cpuAndNeuralEngine,
};

const char* toString(ComputeUnits units);
std::optional<ComputeUnits> computeUnitsFromString(std::string_view text);

} // namespace auralis::runtime
