#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace hushnote::testing {

// The shape of a generated Whisper checkpoint. The defaults are a small model with the real
// vocabulary size, so special and timestamp token ids are the real ones.
struct WhisperCheckpointLayout {
    int dModel = 64;
    int encoderLayers = 2;
    int decoderLayers = 2;
    int heads = 4;
    int ffnDim = 256;
    int nMels = 80;
    int vocabSize = 51865;
    int sourcePositions = 1500;
    int targetPositions = 448;
    // "F32", "F16" or "BF16".
    std::string dtype = "F32";
    std::uint64_t seed = 20240611;
    std::vector<std::pair<int, int>> alignmentHeads { { 1, 0 }, { 1, 2 } };
    // Whether to write generation_config.json.
    bool generationConfig = true;
};

// Writes a Hugging Face-layout Whisper checkpoint of random weights into `directory`:
// config.json, generation_config.json, model.safetensors and a small tokenizer.json whose
// byte-level BPE vocabulary is tiny but whose added tokens are Whisper's real special tokens
// (end of text, start of transcript, the languages, tasks, no-timestamps and the timestamps).
// The weights are a pure function of the layout (each tensor seeded from its name), so the
// same layout always writes the same bytes.
void writeWhisperCheckpoint(const std::filesystem::path& directory, const WhisperCheckpointLayout& layout = {});

// The small tokenizer.json written with the checkpoint, for a vocabulary size of 51864,
// 51865 or 51866.
std::string whisperTestTokenizerJson(int vocabSize);

} // namespace hushnote::testing
