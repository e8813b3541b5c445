#pragma once

#include "Auralis/Runtime/Model.h"

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace auralis::runtime {

// A human-readable account of a model folder: each stage's inputs, outputs, parameters and
// weights, and the tokenizer files beside them. Reads descriptions and validates weight file
// headers without loading the weights. Throws ModelError::loadFailed naming the file at fault.
std::string describeModelFolder(const std::filesystem::path& modelDirectory);

// What `probeModelFolder` computed: the mel features, the encoder output and, per fed token,
// the decoder's logits (and alignment weights when the model has alignment heads).
struct ProbeResult {
    MultiArray melFeatures;
    MultiArray encoderOutput;
    std::vector<MultiArray> logits;
    std::vector<MultiArray> alignmentWeights;
};

// Runs the three stages of a model folder on one window of 16 kHz samples (zero-padded or cut
// to the window) and feeds `tokens` one step at a time through the decoder, keeping the cache
// the way the engine does: step i runs at position i, its keys and values are stored in slot
// i, and slot i + 1 opens for the next step. Throws ModelError on load or prediction failures,
// and when there are more tokens than cache slots.
ProbeResult probeModelFolder(const std::filesystem::path& modelDirectory, std::span<const float> samples,
    std::span<const std::int32_t> tokens, const ModelConfiguration& configuration = {});

// Writes mel.npy, encoder_output.npy and logits.npy ([tokens, vocabulary], float32), plus
// alignment_heads_weights.npy when present, into `outputDirectory` (created when missing).
void writeProbeResult(const ProbeResult& result, const std::filesystem::path& outputDirectory);

} // namespace auralis::runtime
