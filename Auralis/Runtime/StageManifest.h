#pragma once

#include "Auralis/Runtime/ModelDescription.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace auralis::runtime {

// File names inside a model folder and inside each stage directory.
inline constexpr const char* kMelSpectrogramDirectory = "MelSpectrogram.mlmodelc";
inline constexpr const char* kAudioEncoderDirectory = "AudioEncoder.mlmodelc";
inline constexpr const char* kTextDecoderDirectory = "TextDecoder.mlmodelc";
inline constexpr const char* kStageManifestFile = "model.json";
inline constexpr const char* kStageWeightsFile = "weights.safetensors";

// Stage names as model.json spells them.
inline constexpr const char* kMelSpectrogramStage = "MelSpectrogram";
inline constexpr const char* kAudioEncoderStage = "AudioEncoder";
inline constexpr const char* kTextDecoderStage = "TextDecoder";

struct MelSpectrogramParameters {
    int sampleRate = 16000;
    int nFft = 400;
    int hopLength = 160;
    int nMels = 80;
    int windowSamples = 480000;

    int frames() const { return windowSamples / hopLength; }
    bool operator==(const MelSpectrogramParameters&) const = default;
};

struct AudioEncoderParameters {
    int nMels = 80;
    int dModel = 768;
    int layers = 12;
    int heads = 12;
    int ffnDim = 3072;
    // Encoder positions; the input has twice as many mel frames (the second convolution has
    // stride 2).
    int positions = 1500;

    bool operator==(const AudioEncoderParameters&) const = default;
};

struct TextDecoderParameters {
    int dModel = 768;
    int layers = 12;
    int heads = 12;
    int ffnDim = 3072;
    int vocabSize = 51865;
    int maxTargetPositions = 448;
    // Slots of the self-attention key/value cache the engine passes in.
    int kvCacheLength = 224;
    int encoderPositions = 1500;
    // [decoder layer, head] pairs whose cross-attention weights form "alignment_heads_weights".
    std::vector<std::pair<int, int>> alignmentHeads;

    bool operator==(const TextDecoderParameters&) const = default;
};

// The contents of one stage's model.json.
struct StageManifest {
    std::string stage;
    ModelDescription description;
    nlohmann::json parameters = nlohmann::json::object();
    // Free-form facts about where the weights came from.
    nlohmann::json source = nlohmann::json::object();
};

// Reads and checks a model.json. Throws ModelError::loadFailed naming the file when it is
// missing, not JSON, or lacks a field of the right type.
StageManifest readStageManifest(const std::filesystem::path& file);
StageManifest parseStageManifest(const std::string& text, const std::string& sourceName);
std::string serializeStageManifest(const StageManifest& manifest);

// Stage parameters from a manifest, with every value range-checked (throws
// ModelError::loadFailed naming `sourceName`), and back.
MelSpectrogramParameters melSpectrogramParameters(const nlohmann::json& parameters, const std::string& sourceName);
AudioEncoderParameters audioEncoderParameters(const nlohmann::json& parameters, const std::string& sourceName);
TextDecoderParameters textDecoderParameters(const nlohmann::json& parameters, const std::string& sourceName);
nlohmann::json toJson(const MelSpectrogramParameters& parameters);
nlohmann::json toJson(const AudioEncoderParameters& parameters);
nlohmann::json toJson(const TextDecoderParameters& parameters);

// The inputs and outputs each stage computes for its parameters.
ModelDescription describeStage(const MelSpectrogramParameters& parameters);
ModelDescription describeStage(const AudioEncoderParameters& parameters);
ModelDescription describeStage(const TextDecoderParameters& parameters);

StageManifest makeStageManifest(const MelSpectrogramParameters& parameters);
StageManifest makeStageManifest(const AudioEncoderParameters& parameters);
StageManifest makeStageManifest(const TextDecoderParameters& parameters);

} // namespace auralis::runtime
