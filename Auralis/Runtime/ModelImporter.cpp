#include "Auralis/Runtime/ModelImporter.h"

#include "Auralis/Runtime/MelSpectrogramStage.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/StageManifest.h"

#include "Foundation/FileIO.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <memory>
#include <system_error>

namespace auralis::runtime {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& message) { throw ModelError(ModelError::Kind::importFailed, message); }

// Files a Whisper checkpoint ships beside its weights that the engine may read later: the
// tokenizer and its companions, and the configurations (generation settings included).
constexpr const char* kCompanionFiles[] = {
    "tokenizer.json",
    "vocab.json",
    "merges.txt",
    "added_tokens.json",
    "special_tokens_map.json",
    "tokenizer_config.json",
    "normalizer.json",
    "preprocessor_config.json",
    "config.json",
    "generation_config.json",
};

nlohmann::json readJson(const fs::path& path)
{
    const auto text = hushnote::readWholeFile(path);
    if (!text) {
        fail(path.string() + ": cannot read the file");
    }
    try {
        return nlohmann::json::parse(*text);
    } catch (const nlohmann::json::exception& error) {
        fail(path.string() + ": not valid JSON: " + error.what());
    }
}

int configInt(const nlohmann::json& config, const char* key, int minimum, int maximum, const fs::path& path)
{
    if (!config.contains(key) || !config[key].is_number_integer()) {
        fail(path.string() + ": \"" + key + "\" is missing or not an integer");
    }
    const auto value = config[key].get<long long>();
    if (value < minimum || value > maximum) {
        fail(path.string() + ": \"" + key + "\" is " + std::to_string(value) + ", outside " + std::to_string(minimum) + " to "
            + std::to_string(maximum));
    }
    return static_cast<int>(value);
}

// The checkpoint's tensors, from one file or from the shards an index names.
class CheckpointTensors {
public:
    explicit CheckpointTensors(const fs::path& directory)
    {
        const auto single = directory / "model.safetensors";
        const auto index = directory / "model.safetensors.index.json";
        std::error_code error;
        if (fs::is_regular_file(single, error)) {
            files_.push_back(std::make_unique<SafeTensorsFile>(SafeTensorsFile::open(single)));
        } else if (fs::is_regular_file(index, error)) {
            const auto json = readJson(index);
            if (!json.contains("weight_map") || !json["weight_map"].is_object()) {
                fail(index.string() + ": \"weight_map\" is missing");
            }
            std::map<std::string, std::size_t> shardIndex;
            for (auto it = json["weight_map"].begin(); it != json["weight_map"].end(); ++it) {
                if (!it.value().is_string()) {
                    fail(index.string() + ": the shard of \"" + it.key() + "\" is not a file name");
                }
                const auto shard = it.value().get<std::string>();
                if (shard.find('/') != std::string::npos || shard == ".." || shard.empty()) {
                    fail(index.string() + ": shard name \"" + shard + "\" is not a plain file name");
                }
                if (!shardIndex.contains(shard)) {
                    shardIndex[shard] = files_.size();
                    files_.push_back(std::make_unique<SafeTensorsFile>(SafeTensorsFile::open(directory / shard)));
                }
            }
        } else {
            fail(single.string() + ": checkpoint weights not found");
        }
        for (const auto& file : files_) {
            for (const auto& tensor : file->tensors()) {
                byName_[tensor.name] = file.get();
            }
        }
    }

    const SafeTensorsFile* fileHolding(const std::string& name) const
    {
        const auto it = byName_.find(name);
        return it == byName_.end() ? nullptr : it->second;
    }

    std::string sourceName() const { return files_.empty() ? std::string() : files_.front()->sourceName(); }

private:
    std::vector<std::unique_ptr<SafeTensorsFile>> files_;
    std::map<std::string, const SafeTensorsFile*> byName_;
};

// Copies checkpoint tensors into one stage's weights file without converting them; the stage
// converts once when it loads.
class StageWeights {
public:
    StageWeights(const CheckpointTensors& checkpoint, std::string sourcePrefix)
        : checkpoint_(checkpoint)
        , prefix_(std::move(sourcePrefix))
    {
    }

    void copy(const std::string& name, std::vector<std::int64_t> shape)
    {
        const std::string sourceName = prefix_ + name;
        const SafeTensorsFile* file = checkpoint_.fileHolding(sourceName);
        if (file == nullptr) {
            fail(checkpoint_.sourceName() + ": tensor \"" + sourceName + "\" is missing");
        }
        const SafeTensorInfo& tensor = file->requireFloatTensor(sourceName, shape);
        if (weightType_.empty()) {
            weightType_ = tensor.dtype;
        } else if (weightType_ != tensor.dtype) {
            weightType_ = "mixed";
        }
        writer_.addView(name, tensor.dtype, std::move(shape), file->tensorBytes(tensor));
    }

    void attention(const std::string& prefix, int d)
    {
        for (const char* projection : { "q_proj", "k_proj", "v_proj", "out_proj" }) {
            copy(prefix + projection + ".weight", { d, d });
            if (std::string(projection) != "k_proj") {
                copy(prefix + projection + ".bias", { d });
            }
        }
    }

    void norm(const std::string& prefix, int d)
    {
        copy(prefix + ".weight", { d });
        copy(prefix + ".bias", { d });
    }

    void mlp(const std::string& prefix, int d, int ffn)
    {
        copy(prefix + "fc1.weight", { ffn, d });
        copy(prefix + "fc1.bias", { ffn });
        copy(prefix + "fc2.weight", { d, ffn });
        copy(prefix + "fc2.bias", { d });
    }

    SafeTensorsWriter& writer() { return writer_; }
    const std::string& weightType() const { return weightType_; }

private:
    const CheckpointTensors& checkpoint_;
    std::string prefix_;
    SafeTensorsWriter writer_;
    std::string weightType_;
};

void writeStage(const fs::path& directory, StageManifest manifest, const SafeTensorsWriter& weights, const nlohmann::json& source)
{
    std::error_code error;
    fs::create_directory(directory, error);
    if (error) {
        fail(directory.string() + ": cannot create the stage directory: " + error.message());
    }
    manifest.source = source;
    if (!hushnote::writeFileAtomically(directory / kStageManifestFile, serializeStageManifest(manifest))) {
        fail((directory / kStageManifestFile).string() + ": cannot write the model description");
    }
    weights.write(directory / kStageWeightsFile);
}

// A staging directory beside the target, removed unless release() is called.
class StagingDirectory {
public:
    explicit StagingDirectory(const fs::path& target)
    {
        std::string pattern = target.string() + ".import-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail(target.parent_path().string() + ": cannot create a staging directory: " + std::strerror(errno));
        }
        path_ = pattern;
    }
    ~StagingDirectory()
    {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
    }
    const fs::path& path() const { return path_; }
    void release() { path_.clear(); }

private:
    fs::path path_;
};

} // namespace

ImportSummary importCheckpoint(const fs::path& checkpointDirectory, const fs::path& modelDirectory, const ImportOptions& options)
{
    std::error_code error;
    if (!fs::is_directory(checkpointDirectory, error)) {
        fail(checkpointDirectory.string() + ": checkpoint directory not found");
    }
    if (fs::exists(modelDirectory, error)) {
        fail(modelDirectory.string() + ": already exists; choose a new model folder");
    }
    const auto configPath = checkpointDirectory / "config.json";
    const auto config = readJson(configPath);
    if (!config.is_object()) {
        fail(configPath.string() + ": not a JSON object");
    }
    if (config.contains("model_type") && config["model_type"] != "whisper") {
        fail(configPath.string() + ": model_type is " + config["model_type"].dump() + ", not \"whisper\"");
    }
    const int d = configInt(config, "d_model", 1, 8192, configPath);
    const int encoderLayers = configInt(config, "encoder_layers", 1, 256, configPath);
    const int decoderLayers = configInt(config, "decoder_layers", 1, 256, configPath);
    const int encoderHeads = configInt(config, "encoder_attention_heads", 1, 256, configPath);
    const int decoderHeads = configInt(config, "decoder_attention_heads", 1, 256, configPath);
    const int encoderFfn = configInt(config, "encoder_ffn_dim", 1, 65536, configPath);
    const int decoderFfn = configInt(config, "decoder_ffn_dim", 1, 65536, configPath);
    const int nMels = configInt(config, "num_mel_bins", 1, 512, configPath);
    const int vocab = configInt(config, "vocab_size", 1, 1'000'000, configPath);
    const int sourcePositions = configInt(config, "max_source_positions", 1, 65536, configPath);
    const int targetPositions = configInt(config, "max_target_positions", 1, 65536, configPath);
    if (d % encoderHeads != 0 || d % decoderHeads != 0) {
        fail(configPath.string() + ": d_model is not a multiple of the attention heads");
    }
    if (config.contains("activation_function") && config["activation_function"] != "gelu") {
        fail(configPath.string() + ": activation_function " + config["activation_function"].dump() + " is not supported");
    }
    if (config.value("scale_embedding", false) == true) {
        fail(configPath.string() + ": scale_embedding is not supported");
    }

    std::vector<std::pair<int, int>> alignmentHeads;
    const auto generationPath = checkpointDirectory / "generation_config.json";
    if (fs::is_regular_file(generationPath, error)) {
        const auto generation = readJson(generationPath);
        if (generation.is_object() && generation.contains("alignment_heads") && !generation["alignment_heads"].is_null()) {
            const auto& heads = generation["alignment_heads"];
            if (!heads.is_array()) {
                fail(generationPath.string() + ": alignment_heads is not a list");
            }
            for (const auto& pair : heads) {
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer()
                    || pair[0].get<long long>() < 0 || pair[0].get<long long>() >= decoderLayers || pair[1].get<long long>() < 0
                    || pair[1].get<long long>() >= decoderHeads) {
                    fail(generationPath.string() + ": alignment head " + pair.dump() + " is not a [layer, head] pair of this model");
                }
                alignmentHeads.emplace_back(pair[0].get<int>(), pair[1].get<int>());
            }
        }
    }
    const auto tokenizerPath = checkpointDirectory / "tokenizer.json";
    if (!fs::is_regular_file(tokenizerPath, error)) {
        fail(tokenizerPath.string() + ": tokenizer not found");
    }

    const CheckpointTensors checkpoint(checkpointDirectory);
    // Hugging Face checkpoints name tensors "model.encoder...."; bare exports drop "model.".
    const std::string root = checkpoint.fileHolding("model.encoder.conv1.weight") != nullptr ? "model." : "";

    StagingDirectory staging(modelDirectory);
    const nlohmann::json source = { { "checkpoint", fs::absolute(checkpointDirectory).filename().string() } };

    MelSpectrogramParameters mel;
    mel.nMels = nMels;
    mel.windowSamples = 2 * sourcePositions * mel.hopLength;
    {
        const auto filters = melFilterbank(mel.sampleRate, mel.nFft, mel.nMels);
        SafeTensorsWriter writer;
        writer.addFloat32("mel_filters", { mel.nMels, mel.nFft / 2 + 1 }, filters);
        writeStage(staging.path() / kMelSpectrogramDirectory, makeStageManifest(mel), writer, source);
    }

    AudioEncoderParameters encoder { nMels, d, encoderLayers, encoderHeads, encoderFfn, sourcePositions };
    StageWeights encoderWeights(checkpoint, root + "encoder.");
    encoderWeights.copy("conv1.weight", { d, nMels, 3 });
    encoderWeights.copy("conv1.bias", { d });
    encoderWeights.copy("conv2.weight", { d, d, 3 });
    encoderWeights.copy("conv2.bias", { d });
    encoderWeights.copy("embed_positions.weight", { sourcePositions, d });
    for (int i = 0; i < encoderLayers; ++i) {
        const std::string prefix = "layers." + std::to_string(i) + ".";
        encoderWeights.attention(prefix + "self_attn.", d);
        encoderWeights.norm(prefix + "self_attn_layer_norm", d);
        encoderWeights.mlp(prefix, d, encoderFfn);
        encoderWeights.norm(prefix + "final_layer_norm", d);
    }
    encoderWeights.norm("layer_norm", d);
    writeStage(staging.path() / kAudioEncoderDirectory, makeStageManifest(encoder), encoderWeights.writer(), source);

    TextDecoderParameters decoder;
    decoder.dModel = d;
    decoder.layers = decoderLayers;
    decoder.heads = decoderHeads;
    decoder.ffnDim = decoderFfn;
    decoder.vocabSize = vocab;
    decoder.maxTargetPositions = targetPositions;
    decoder.kvCacheLength = std::max(1, std::min(options.kvCacheLength, targetPositions));
    decoder.encoderPositions = sourcePositions;
    decoder.alignmentHeads = alignmentHeads;
    StageWeights decoderWeights(checkpoint, root + "decoder.");
    decoderWeights.copy("embed_tokens.weight", { vocab, d });
    decoderWeights.copy("embed_positions.weight", { targetPositions, d });
    for (int i = 0; i < decoderLayers; ++i) {
        const std::string prefix = "layers." + std::to_string(i) + ".";
        decoderWeights.attention(prefix + "self_attn.", d);
        decoderWeights.norm(prefix + "self_attn_layer_norm", d);
        decoderWeights.attention(prefix + "encoder_attn.", d);
        decoderWeights.norm(prefix + "encoder_attn_layer_norm", d);
        decoderWeights.mlp(prefix, d, decoderFfn);
        decoderWeights.norm(prefix + "final_layer_norm", d);
    }
    decoderWeights.norm("layer_norm", d);
    writeStage(staging.path() / kTextDecoderDirectory, makeStageManifest(decoder), decoderWeights.writer(), source);

    ImportSummary summary { d, encoderLayers, decoderLayers, nMels, vocab, decoderWeights.weightType(), alignmentHeads.size(), {} };
    for (const char* name : kCompanionFiles) {
        const auto from = checkpointDirectory / name;
        if (fs::is_regular_file(from, error)) {
            fs::copy_file(from, staging.path() / name, error);
            if (error) {
                fail(from.string() + ": cannot copy: " + error.message());
            }
            summary.copiedFiles.emplace_back(name);
        }
    }
    fs::permissions(staging.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec, error);
    fs::rename(staging.path(), modelDirectory, error);
    if (error) {
        fail(modelDirectory.string() + ": cannot move the imported model into place: " + error.message());
    }
    staging.release();
    return summary;
}

} // namespace auralis::runtime
