#include "Auralis/Runtime/ModelFolder.h"

#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/Npy.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/StageManifest.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <system_error>

namespace auralis::runtime {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStages[] = { kMelSpectrogramDirectory, kAudioEncoderDirectory, kTextDecoderDirectory };

void describeFeatures(std::ostringstream& out, const char* heading, const std::vector<FeatureDescription>& features)
{
    out << "  " << heading << ":\n";
    for (const auto& feature : features) {
        out << "    " << feature.name << " " << MultiArray::shapeString(feature.multiArrayConstraint->shape) << " "
            << toString(feature.multiArrayConstraint->dataType) << "\n";
    }
}

std::vector<float> toFloatVector(const MultiArray& array)
{
    std::vector<float> values(array.count());
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(array.value(i));
    }
    return values;
}

} // namespace

std::string describeModelFolder(const fs::path& modelDirectory)
{
    std::error_code error;
    if (!fs::is_directory(modelDirectory, error)) {
        throw ModelError(ModelError::Kind::loadFailed, modelDirectory.string() + ": model folder not found");
    }
    std::ostringstream out;
    out << "Model folder " << modelDirectory.string() << "\n";
    for (const char* stage : kStages) {
        const auto directory = modelDirectory / stage;
        if (!fs::is_directory(directory, error)) {
            throw ModelError(ModelError::Kind::loadFailed, directory.string() + ": model directory not found");
        }
        const auto manifest = readStageManifest(directory / kStageManifestFile);
        const auto weights = SafeTensorsFile::open(directory / kStageWeightsFile);
        out << "\n" << stage << " (stage " << manifest.stage << ")\n";
        describeFeatures(out, "inputs", manifest.description.inputs);
        describeFeatures(out, "outputs", manifest.description.outputs);
        out << "  parameters: " << manifest.parameters.dump() << "\n";
        std::map<std::string, std::size_t> dtypes;
        std::uint64_t bytes = 0;
        for (const auto& tensor : weights.tensors()) {
            ++dtypes[tensor.dtype];
            bytes += tensor.end - tensor.begin;
        }
        out << "  weights: " << weights.tensors().size() << " tensors, " << bytes << " bytes (";
        bool first = true;
        for (const auto& [dtype, count] : dtypes) {
            out << (first ? "" : ", ") << count << " " << dtype;
            first = false;
        }
        out << ")\n";
    }
    out << "\nTokenizer files:";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(modelDirectory, error)) {
        if (entry.is_regular_file(error)) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        out << " " << name;
    }
    out << (names.empty() ? " none\n" : "\n");
    return out.str();
}

ProbeResult probeModelFolder(const fs::path& modelDirectory, std::span<const float> samples, std::span<const std::int32_t> tokens,
    const ModelConfiguration& configuration)
{
    const auto mel = Model::load(modelDirectory / kMelSpectrogramDirectory, configuration);
    const auto encoder = Model::load(modelDirectory / kAudioEncoderDirectory, configuration);
    const auto decoder = Model::load(modelDirectory / kTextDecoderDirectory, configuration);

    const auto& audioShape = mel->modelDescription().inputs.at(0).multiArrayConstraint->shape;
    MultiArray audio(audioShape, MultiArrayDataType::float32);
    auto audioValues = audio.float32Values();
    std::copy_n(samples.begin(), std::min(samples.size(), audioValues.size()), audioValues.begin());

    ProbeResult result;
    result.melFeatures = mel->prediction(DictionaryFeatureProvider { { "audio", audio } }).array("melspectrogram_features");
    result.encoderOutput = encoder->prediction(DictionaryFeatureProvider { { "melspectrogram_features", result.melFeatures } })
                               .array("encoder_output_embeds");

    const auto& decoderDescription = decoder->modelDescription();
    const auto cacheShape = decoderDescription.input("key_cache")->multiArrayConstraint->shape;
    const auto embed = static_cast<std::size_t>(cacheShape[1]);
    const auto slots = static_cast<std::size_t>(cacheShape[3]);
    if (tokens.size() > slots) {
        throw ModelError(ModelError::Kind::predictionFailed,
            std::to_string(tokens.size()) + " tokens do not fit the decoder's " + std::to_string(slots) + " cache slots");
    }
    MultiArray inputIds({ 1 }, MultiArrayDataType::int32);
    MultiArray cacheLength({ 1 }, MultiArrayDataType::int32);
    MultiArray keyCache(cacheShape, MultiArrayDataType::float16);
    MultiArray valueCache(cacheShape, MultiArrayDataType::float16);
    MultiArray updateMask({ 1, static_cast<std::int64_t>(slots) }, MultiArrayDataType::int32);
    MultiArray paddingMask({ 1, static_cast<std::int64_t>(slots) }, MultiArrayDataType::float16, -10000);
    updateMask.setValue(0, 1);
    paddingMask.setValue(0, 0);
    const DictionaryFeatureProvider inputs {
        { "input_ids", inputIds },
        { "cache_length", cacheLength },
        { "key_cache", keyCache },
        { "value_cache", valueCache },
        { "kv_cache_update_mask", updateMask },
        { "encoder_output_embeds", result.encoderOutput },
        { "decoder_key_padding_mask", paddingMask },
    };
    auto keys = keyCache.float16Bits();
    auto values = valueCache.float16Bits();
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        inputIds.setValue(0, tokens[i]);
        cacheLength.setValue(0, static_cast<double>(i));
        const auto outputs = decoder->prediction(inputs);
        result.logits.push_back(outputs.array("logits").clone());
        if (auto alignment = outputs.array("alignment_heads_weights"); !alignment.empty()) {
            result.alignmentWeights.push_back(alignment.clone());
        }
        const auto keyUpdate = outputs.array("key_cache_updates").float16Bits();
        const auto valueUpdate = outputs.array("value_cache_updates").float16Bits();
        for (std::size_t e = 0; e < embed; ++e) {
            keys[e * slots + i] = keyUpdate[e];
            values[e * slots + i] = valueUpdate[e];
        }
        updateMask.setValue(i, 0);
        if (i + 1 < slots) {
            updateMask.setValue(i + 1, 1);
            paddingMask.setValue(i + 1, 0);
        }
    }
    return result;
}

void writeProbeResult(const ProbeResult& result, const fs::path& outputDirectory)
{
    std::error_code error;
    fs::create_directories(outputDirectory, error);
    if (error) {
        throw ModelError(ModelError::Kind::importFailed, outputDirectory.string() + ": cannot create: " + error.message());
    }
    writeNpy(outputDirectory / "mel.npy", result.melFeatures.shape(), toFloatVector(result.melFeatures));
    writeNpy(outputDirectory / "encoder_output.npy", result.encoderOutput.shape(), toFloatVector(result.encoderOutput));
    const auto stacked = [](const std::vector<MultiArray>& arrays) {
        std::vector<float> values;
        for (const auto& array : arrays) {
            const auto v = toFloatVector(array);
            values.insert(values.end(), v.begin(), v.end());
        }
        return values;
    };
    if (!result.logits.empty()) {
        const std::int64_t shape[] = { static_cast<std::int64_t>(result.logits.size()),
            static_cast<std::int64_t>(result.logits.front().count()) };
        writeNpy(outputDirectory / "logits.npy", shape, stacked(result.logits));
    }
    if (!result.alignmentWeights.empty()) {
        const std::int64_t shape[] = { static_cast<std::int64_t>(result.alignmentWeights.size()),
            static_cast<std::int64_t>(result.alignmentWeights.front().count()) };
        writeNpy(outputDirectory / "alignment_heads_weights.npy", shape, stacked(result.alignmentWeights));
    }
}

} // namespace auralis::runtime
