#pragma once

#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace hushnote::testing {

// An imported model folder whose decoder says a fixed token sequence whatever the audio: the
// generated checkpoint's decoder layers are silenced (their output projections zeroed), the
// scripted tokens get large embeddings, and position p's embedding points at the token to
// predict there. Everything else (mel, encoder, cross-attention weights, the tokenizer) is
// the ordinary generated model, so the whole engine runs for real and the transcript is known.
class ScriptedWhisperModel {
public:
    // `predictions[p]` is the token predicted at decoder position p.
    explicit ScriptedWhisperModel(const std::vector<std::int64_t>& predictions, const WhisperCheckpointLayout& layout = {});

    const std::filesystem::path& modelFolder() const { return modelFolder_; }

    // Predictions for the multilingual prompt [sot, en, transcribe, 0.00] followed by
    // `text`, the timestamp of `endSeconds` and the end token.
    static std::vector<std::int64_t> englishTranscript(const std::vector<std::int64_t>& text, double endSeconds);

private:
    TemporaryDirectory directory_;
    std::filesystem::path modelFolder_;
};

// 16-bit mono WAV at 16 kHz of `samples` (clipped to [-1, 1]).
void writeWav16kMono(const std::filesystem::path& path, const std::vector<float>& samples);

} // namespace hushnote::testing
