#pragma once

#include "Auralis/Runtime/Stage.h"
#include "Auralis/Runtime/StageManifest.h"

#include <vector>

namespace auralis::runtime {

class SafeTensorsFile;
class ThreadPool;

// The Whisper audio encoder: two GELU convolutions (the second with stride 2), the
// sinusoidal position table, pre-LayerNorm transformer blocks and the final LayerNorm.
// Activations are kept time-major ([positions, dModel]) so every projection is one row-major
// matrix product; the output is transposed to [1, dModel, 1, positions] at the end.
class AudioEncoderStage final : public Stage {
public:
    AudioEncoderStage(const AudioEncoderParameters& parameters, const SafeTensorsFile& weights, ThreadPool& pool);

    void predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs) override;

private:
    struct Layer {
        std::vector<float> qkvWeight;
        std::vector<float> qkvBias;
        std::vector<float> outWeight;
        std::vector<float> outBias;
        std::vector<float> attnNormWeight;
        std::vector<float> attnNormBias;
        std::vector<float> fc1Weight;
        std::vector<float> fc1Bias;
        std::vector<float> fc2Weight;
        std::vector<float> fc2Bias;
        std::vector<float> mlpNormWeight;
        std::vector<float> mlpNormBias;
    };

    void attention();

    AudioEncoderParameters parameters_;
    ThreadPool& pool_;
    std::vector<float> conv1Weight_;
    std::vector<float> conv1Bias_;
    std::vector<float> conv2Weight_;
    std::vector<float> conv2Bias_;
    std::vector<float> positions_;
    std::vector<Layer> layers_;
    std::vector<float> finalNormWeight_;
    std::vector<float> finalNormBias_;

    // Scratch, allocated once.
    std::vector<float> melPadded_;
    std::vector<float> conv1Padded_;
    std::vector<float> x_;
    std::vector<float> normed_;
    std::vector<float> qkv_;
    std::vector<float> attended_;
    std::vector<float> hidden_;
    std::vector<float> scores_;
};

} // namespace auralis::runtime
