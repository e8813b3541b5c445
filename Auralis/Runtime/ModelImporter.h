#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace auralis::runtime {

struct ImportOptions {
    // Slots of the decoder's self-attention cache (capped at the checkpoint's target positions).
    int kvCacheLength = 224;
};

struct ImportSummary {
    int dModel = 0;
    int encoderLayers = 0;
    int decoderLayers = 0;
    int nMels = 0;
    int vocabSize = 0;
    // "F32", "F16" or "BF16": the element type the weights were stored in.
    std::string weightType;
    std::size_t alignmentHeads = 0;
    std::vector<std::string> copiedFiles;
};

// Builds a model folder (MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc, TextDecoder.mlmodelc
// and the tokenizer files) at `modelDirectory` from a Hugging Face Whisper checkpoint
// directory holding config.json, generation_config.json (for the alignment heads; optional),
// model.safetensors (or a sharded model.safetensors.index.json) in F32, F16 or BF16, and
// tokenizer.json with its companions.
//
// Everything is written into a sibling staging directory that is renamed into place at the
// end, so a failed import leaves nothing behind. Throws ModelError::importFailed (or
// ModelError::loadFailed for a malformed weights file) naming the file at fault; refuses to
// overwrite an existing `modelDirectory`. Blocks for as long as copying the weights takes.
ImportSummary importCheckpoint(const std::filesystem::path& checkpointDirectory, const std::filesystem::path& modelDirectory,
    const ImportOptions& options = {});

} // namespace auralis::runtime
