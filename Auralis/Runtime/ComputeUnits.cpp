#include "Auralis/Runtime/ComputeUnits.h"

namespace auralis::runtime {

const char* toString(ComputeUnits units)
{
    switch (units) {
    case ComputeUnits::cpuOnly: return "cpuOnly";
    case ComputeUnits::cpuAndGPU: return "cpuAndGPU";
    case ComputeUnits::all: return "all";
    case ComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
    }
    return "unknown";
}

std::optional<ComputeUnits> computeUnitsFromString(std::string_view text)
{
    for (const auto units : kAllComputeUnits) {
        if (text == toString(units)) {
            return units;
        }
    }
    return std::nullopt;
}

} // namespace auralis::runtime
