#include "Auralis/Runtime/Model.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/ModelImporter.h"
#include "Auralis/Runtime/SafeTensors.h"

#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace auralis::runtime {
namespace {

namespace fs = std::filesystem;
using hushnote::testing::readFile;
using hushnote::testing::TemporaryDirectory;
using hushnote::testing::WhisperCheckpointLayout;
using hushnote::testing::writeFile;
using hushnote::testing::writeWhisperCheckpoint;

std::vector<std::string> entries(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void expectImportFails(const fs::path& checkpoint, const fs::path& target, const std::string& file, const std::string& message)
{
    try {
        importCheckpoint(checkpoint, target);
        ADD_FAILURE() << "the import succeeded";
    } catch (const ModelError& error) {
        EXPECT_EQ(error.description().rfind(file, 0), 0u) << error.description();
        EXPECT_NE(error.description().find(message), std::string::npos) << error.description();
    }
}

TEST(ModelImporter, BuildsTheThreeStagesAndCopiesTheTokenizerFiles)
{
    const TemporaryDirectory dir;
    writeWhisperCheckpoint(dir.path() / "checkpoint");
    const auto summary = importCheckpoint(dir.path() / "checkpoint", dir.path() / "model");
    EXPECT_EQ(summary.dModel, 64);
    EXPECT_EQ(summary.vocabSize, 51865);
    EXPECT_EQ(summary.weightType, "F32");
    EXPECT_EQ(summary.alignmentHeads, 2u);
    EXPECT_EQ(entries(dir.path() / "model"),
        (std::vector<std::string> { "AudioEncoder.mlmodelc", "MelSpectrogram.mlmodelc", "TextDecoder.mlmodelc", "config.json",
            "generation_config.json", "tokenizer.json" }));
    EXPECT_EQ(readFile(dir.path() / "model" / "tokenizer.json"), readFile(dir.path() / "checkpoint" / "tokenizer.json"));
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string> { "checkpoint", "model" }));
}

TEST(ModelImporter, KeepsHalfPrecisionWeightsAndConvertsThemAtLoad)
{
    for (const char* dtype : { "F16", "BF16" }) {
        SCOPED_TRACE(dtype);
        const TemporaryDirectory dir;
        WhisperCheckpointLayout layout;
        layout.dtype = dtype;
        writeWhisperCheckpoint(dir.path() / "checkpoint", layout);
        EXPECT_EQ(importCheckpoint(dir.path() / "checkpoint", dir.path() / "model").weightType, dtype);
        const auto weights = SafeTensorsFile::open(dir.path() / "model" / "TextDecoder.mlmodelc" / "weights.safetensors");
        EXPECT_EQ(weights.find("embed_tokens.weight")->dtype, dtype);
        EXPECT_NO_THROW(Model::load(dir.path() / "model" / "TextDecoder.mlmodelc", {}));
    }
}

TEST(ModelImporter, WithoutAlignmentHeadsTheDecoderHasNoAlignmentOutput)
{
    const TemporaryDirectory dir;
    WhisperCheckpointLayout layout;
    layout.generationConfig = false;
    writeWhisperCheckpoint(dir.path() / "checkpoint", layout);
    importCheckpoint(dir.path() / "checkpoint", dir.path() / "model");
    const auto decoder = Model::load(dir.path() / "model" / "TextDecoder.mlmodelc", {});
    EXPECT_EQ(decoder->modelDescription().output("alignment_heads_weights"), nullptr);
    EXPECT_EQ(decoder->modelDescription().outputs.size(), 3u);
}

// large-v3's front end and vocabulary: 128 mels and 51866 tokens.
TEST(ModelImporter, TakesTheMelCountAndVocabularyFromTheConfig)
{
    const TemporaryDirectory dir;
    WhisperCheckpointLayout layout;
    layout.nMels = 128;
    layout.vocabSize = 51866;
    writeWhisperCheckpoint(dir.path() / "checkpoint", layout);
    importCheckpoint(dir.path() / "checkpoint", dir.path() / "model");
    const auto mel = Model::load(dir.path() / "model" / "MelSpectrogram.mlmodelc", {});
    EXPECT_EQ(mel->modelDescription().outputs[0].multiArrayConstraint->shape, (std::vector<std::int64_t> { 1, 128, 1, 3000 }));
    const auto decoder = Model::load(dir.path() / "model" / "TextDecoder.mlmodelc", {});
    EXPECT_EQ(decoder->modelDescription().output("logits")->multiArrayConstraint->shape, (std::vector<std::int64_t> { 1, 1, 51866 }));
}

TEST(ModelImporter, ReadsShardedCheckpoints)
{
    const TemporaryDirectory dir;
    const auto checkpoint = dir.path() / "checkpoint";
    writeWhisperCheckpoint(checkpoint);
    importCheckpoint(checkpoint, dir.path() / "single");

    nlohmann::json weightMap = nlohmann::json::object();
    {
        const auto whole = SafeTensorsFile::open(checkpoint / "model.safetensors");
        SafeTensorsWriter encoderShard;
        SafeTensorsWriter decoderShard;
        for (const auto& tensor : whole.tensors()) {
            const bool isEncoder = tensor.name.starts_with("model.encoder.");
            (isEncoder ? encoderShard : decoderShard).add(tensor.name, tensor.dtype, tensor.shape, whole.tensorBytes(tensor));
            weightMap[tensor.name] = isEncoder ? "model-00001-of-00002.safetensors" : "model-00002-of-00002.safetensors";
        }
        encoderShard.write(checkpoint / "model-00001-of-00002.safetensors");
        decoderShard.write(checkpoint / "model-00002-of-00002.safetensors");
    }
    fs::remove(checkpoint / "model.safetensors");
    writeFile(checkpoint / "model.safetensors.index.json", nlohmann::json { { "weight_map", weightMap } }.dump());
    importCheckpoint(checkpoint, dir.path() / "sharded");
    for (const char* stage : { "AudioEncoder.mlmodelc", "TextDecoder.mlmodelc" }) {
        EXPECT_EQ(readFile(dir.path() / "sharded" / stage / "weights.safetensors"),
            readFile(dir.path() / "single" / stage / "weights.safetensors"))
            << stage;
    }
}

// Every refusal names the file at fault and leaves neither a model folder nor a staging
// directory behind.
TEST(ModelImporter, AFailedImportLeavesNothingBehind)
{
    struct Case {
        const char* name;
        void (*breakCheckpoint)(const fs::path&);
        const char* file;
        const char* message;
    };
    const Case cases[] = {
        { "missing tensor",
            [](const fs::path& c) {
                const auto whole = SafeTensorsFile::open(c / "model.safetensors");
                SafeTensorsWriter writer;
                for (const auto& t : whole.tensors()) {
                    if (t.name != "model.decoder.layers.1.fc2.bias") {
                        writer.add(t.name, t.dtype, t.shape, whole.tensorBytes(t));
                    }
                }
                auto bytes = writer.serialize();
                writeFile(c / "model.safetensors", bytes);
            },
            "model.safetensors", "tensor \"model.decoder.layers.1.fc2.bias\" is missing" },
        { "truncated weights",
            [](const fs::path& c) {
                auto bytes = readFile(c / "model.safetensors");
                bytes.resize(bytes.size() / 2);
                writeFile(c / "model.safetensors", bytes);
            },
            "model.safetensors", "(truncated)" },
        { "no tokenizer", [](const fs::path& c) { fs::remove(c / "tokenizer.json"); }, "tokenizer.json", "tokenizer not found" },
        { "config without d_model",
            [](const fs::path& c) {
                auto config = nlohmann::json::parse(readFile(c / "config.json"));
                config.erase("d_model");
                writeFile(c / "config.json", config.dump());
            },
            "config.json", "\"d_model\" is missing" },
        { "alignment head outside the model",
            [](const fs::path& c) { writeFile(c / "generation_config.json", R"({"alignment_heads": [[7, 0]]})"); },
            "generation_config.json", "alignment head [7,0] is not a [layer, head] pair of this model" },
        { "no weights", [](const fs::path& c) { fs::remove(c / "model.safetensors"); }, "model.safetensors", "checkpoint weights not found" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TemporaryDirectory dir;
        const auto checkpoint = dir.path() / "checkpoint";
        writeWhisperCheckpoint(checkpoint);
        c.breakCheckpoint(checkpoint);
        expectImportFails(checkpoint, dir.path() / "model", (checkpoint / c.file).string(), c.message);
        EXPECT_EQ(entries(dir.path()), (std::vector<std::string> { "checkpoint" }));
    }
}

TEST(ModelImporter, RefusesToReplaceAnExistingFolder)
{
    const TemporaryDirectory dir;
    writeWhisperCheckpoint(dir.path() / "checkpoint");
    fs::create_directory(dir.path() / "model");
    writeFile(dir.path() / "model" / "keep", "x");
    expectImportFails(dir.path() / "checkpoint", dir.path() / "model", (dir.path() / "model").string(), "already exists");
    EXPECT_EQ(entries(dir.path() / "model"), (std::vector<std::string> { "keep" }));
}

} // namespace
} // namespace auralis::runtime
