#include "Auralis/Core/ModelComputeOptions.h"

namespace auralis {

ModelComputeOptions::ModelComputeOptions(
    MLComputeUnits mel, std::optional<MLComputeUnits> audioEncoder, MLComputeUnits textDecoder)
    : melCompute(mel)
    , audioEncoderCompute(audioEncoder.value_or(MLComputeUnits::cpuAndNeuralEngine))
    , textDecoderCompute(textDecoder)
{
}

} // namespace auralis
