#include "Auralis/Runtime/Model.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/SafeTensors.h"

#include "tests/Support/ImportedWhisperModel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace auralis::runtime {
namespace {

namespace fs = std::filesystem;
using hushnote::testing::readFile;
using hushnote::testing::writeFile;

// Rewrites a stage's weights, copying every tensor through `edit`, which may change the
// entry's dtype or shape or drop it (returning false).
void rewriteWeights(const fs::path& file, const std::function<bool(SafeTensorInfo&, std::vector<std::byte>&)>& edit)
{
    SafeTensorsWriter writer;
    {
        const auto original = SafeTensorsFile::open(file);
        for (const auto& tensor : original.tensors()) {
            SafeTensorInfo info = tensor;
            const auto bytes = original.tensorBytes(tensor);
            std::vector<std::byte> data(bytes.begin(), bytes.end());
            if (edit(info, data)) {
                writer.add(info.name, info.dtype, info.shape, data);
            }
        }
    }
    writer.write(file);
}

struct Case {
    const char* name;
    // Breaks the model folder; returns the file the error must name.
    std::function<fs::path(const fs::path& folder)> breakFolder;
    const char* message;
};

TEST(ModelLoading, BrokenStagesFailWithAnErrorNamingTheFile)
{
    const fs::path encoder = "AudioEncoder.mlmodelc";
    const Case cases[] = {
        { "missing stage directory",
            [&](const fs::path& f) { fs::remove_all(f / encoder); return f / encoder; }, "model directory not found" },
        { "missing model.json",
            [&](const fs::path& f) { fs::remove(f / encoder / "model.json"); return f / encoder / "model.json"; },
            "model description not found" },
        { "model.json that is not JSON",
            [&](const fs::path& f) { writeFile(f / encoder / "model.json", "{\"format\": \"auralis-model\", "); return f / encoder / "model.json"; },
            "not valid JSON" },
        { "model.json without inputs",
            [&](const fs::path& f) {
                writeFile(f / encoder / "model.json", R"({"format":"auralis-model","formatVersion":1,"stage":"AudioEncoder","outputs":[],"parameters":{}})");
                return f / encoder / "model.json";
            },
            "\"inputs\" or \"outputs\" is missing" },
        { "unknown stage",
            [&](const fs::path& f) {
                auto text = readFile(f / encoder / "model.json");
                text.replace(text.find("\"AudioEncoder\""), 14, "\"AudioDecoder\"");
                writeFile(f / encoder / "model.json", text);
                return f / encoder / "model.json";
            },
            "unknown stage \"AudioDecoder\"" },
        { "description that differs from the stage",
            [&](const fs::path& f) {
                auto text = readFile(f / encoder / "model.json");
                text.replace(text.find("\"float32\""), 9, "\"float16\"");
                writeFile(f / encoder / "model.json", text);
                return f / encoder / "model.json";
            },
            "input \"melspectrogram_features\" is described as [1, 80, 1, 3000] float16" },
        { "parameter out of range",
            [&](const fs::path& f) {
                auto text = readFile(f / encoder / "model.json");
                text.replace(text.find("\"heads\": 4"), 10, "\"heads\": 0");
                writeFile(f / encoder / "model.json", text);
                return f / encoder / "model.json";
            },
            "parameter \"heads\" is 0" },
        { "missing weights",
            [&](const fs::path& f) { fs::remove(f / encoder / "weights.safetensors"); return f / encoder / "weights.safetensors"; },
            "cannot open" },
        { "header length past the end",
            [&](const fs::path& f) {
                auto bytes = readFile(f / encoder / "weights.safetensors");
                bytes[3] = '\x01';
                writeFile(f / encoder / "weights.safetensors", bytes);
                return f / encoder / "weights.safetensors";
            },
            "runs past the end" },
        { "file shorter than a header length",
            [&](const fs::path& f) { writeFile(f / encoder / "weights.safetensors", "abc"); return f / encoder / "weights.safetensors"; },
            "too small for a header length" },
        { "truncated tensor data",
            [&](const fs::path& f) {
                auto bytes = readFile(f / encoder / "weights.safetensors");
                bytes.resize(bytes.size() - 100);
                writeFile(f / encoder / "weights.safetensors", bytes);
                return f / encoder / "weights.safetensors";
            },
            "(truncated)" },
        { "tensor of the wrong dtype",
            [&](const fs::path& f) {
                rewriteWeights(f / encoder / "weights.safetensors", [](SafeTensorInfo& t, std::vector<std::byte>&) {
                    if (t.name == "conv1.bias") {
                        t.dtype = "I32";
                    }
                    return true;
                });
                return f / encoder / "weights.safetensors";
            },
            "tensor \"conv1.bias\" has dtype I32, expected F32, F16 or BF16" },
        { "tensor of the wrong shape",
            [&](const fs::path& f) {
                rewriteWeights(f / encoder / "weights.safetensors", [](SafeTensorInfo& t, std::vector<std::byte>&) {
                    if (t.name == "layers.1.fc1.bias") {
                        t.shape = { 16, 16 };
                    }
                    return true;
                });
                return f / encoder / "weights.safetensors";
            },
            "tensor \"layers.1.fc1.bias\" has shape [16, 16], expected [256]" },
        { "missing tensor",
            [&](const fs::path& f) {
                rewriteWeights(f / encoder / "weights.safetensors",
                    [](SafeTensorInfo& t, std::vector<std::byte>&) { return t.name != "layers.0.self_attn.k_proj.weight"; });
                return f / encoder / "weights.safetensors";
            },
            "tensor \"layers.0.self_attn.k_proj.weight\" is missing" },
    };
    const hushnote::testing::ImportedWhisperModel pristine;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const hushnote::testing::TemporaryDirectory folder;
        fs::copy(pristine.modelFolder() / encoder, folder.path() / encoder);
        const auto file = c.breakFolder(folder.path());
        try {
            Model::load(folder.path() / encoder, {});
            ADD_FAILURE() << "the broken stage loaded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.kind(), ModelError::Kind::loadFailed);
            EXPECT_EQ(error.description().rfind(file.string(), 0), 0u) << error.description();
            EXPECT_NE(error.description().find(c.message), std::string::npos) << error.description();
        }
    }
}

TEST(ModelLoading, DescribesInputsAndOutputsOfEachStage)
{
    const hushnote::testing::ImportedWhisperModel model;
    const auto mel = Model::load(model.modelFolder() / "MelSpectrogram.mlmodelc", { ComputeUnits::cpuAndGPU, 1 });
    EXPECT_EQ(mel->configuration().computeUnits, ComputeUnits::cpuAndGPU);
    const auto audio = mel->modelDescription().inputDescriptionsByName().at("audio");
    EXPECT_EQ(audio.type, FeatureType::multiArray);
    EXPECT_EQ(audio.multiArrayConstraint->shape, (std::vector<std::int64_t> { 480000 }));
    EXPECT_EQ(audio.multiArrayConstraint->dataType, MultiArrayDataType::float32);

    const auto decoder = Model::load(model.modelFolder() / "TextDecoder.mlmodelc", { ComputeUnits::cpuAndNeuralEngine, 1 });
    std::vector<std::string> inputs;
    for (const auto& feature : decoder->modelDescription().inputs) {
        inputs.push_back(feature.name);
    }
    EXPECT_EQ(inputs, (std::vector<std::string> { "input_ids", "cache_length", "key_cache", "value_cache", "kv_cache_update_mask",
                          "encoder_output_embeds", "decoder_key_padding_mask" }));
    const auto outputs = decoder->modelDescription().outputDescriptionsByName();
    EXPECT_EQ(outputs.at("logits").multiArrayConstraint->shape, (std::vector<std::int64_t> { 1, 1, 51865 }));
    EXPECT_EQ(outputs.at("key_cache_updates").multiArrayConstraint->dataType, MultiArrayDataType::float16);
    EXPECT_EQ(outputs.at("alignment_heads_weights").multiArrayConstraint->shape, (std::vector<std::int64_t> { 1, 1500 }));
}

} // namespace
} // namespace auralis::runtime
