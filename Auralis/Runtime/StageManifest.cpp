#include "Auralis/Runtime/StageManifest.h"

#include "Auralis/Runtime/ModelError.h"

#include "Foundation/FileIO.h"

#include <system_error>

namespace auralis::runtime {

namespace {

constexpr int kFormatVersion = 1;
constexpr const char* kFormatName = "auralis-model";

[[noreturn]] void fail(const std::string& source, const std::string& problem)
{
    throw ModelError(ModelError::Kind::loadFailed, source + ": " + problem);
}

int requireInt(const nlohmann::json& object, const char* key, long long minimum, long long maximum, const std::string& source)
{
    if (!object.contains(key)) {
        fail(source, std::string("parameter \"") + key + "\" is missing");
    }
    const auto& value = object[key];
    if (!value.is_number_integer()) {
        fail(source, std::string("parameter \"") + key + "\" is not an integer");
    }
    const auto number = value.get<long long>();
    if (number < minimum || number > maximum) {
        fail(source, std::string("parameter \"") + key + "\" is " + std::to_string(number) + ", outside "
                + std::to_string(minimum) + " to " + std::to_string(maximum));
    }
    return static_cast<int>(number);
}

std::vector<FeatureDescription> parseFeatures(const nlohmann::json& list, const char* what, const std::string& source)
{
    if (!list.is_array()) {
        fail(source, std::string("\"") + what + "\" is not a list");
    }
    std::vector<FeatureDescription> features;
    for (const auto& entry : list) {
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
            fail(source, std::string("an entry of \"") + what + "\" has no name");
        }
        FeatureDescription feature;
        feature.name = entry["name"].get<std::string>();
        const std::string where = std::string(what) + " \"" + feature.name + "\"";
        if (!entry.contains("type") || entry["type"] != "multiArray") {
            fail(source, where + " is not of type multiArray");
        }
        if (!entry.contains("dataType") || !entry["dataType"].is_string()) {
            fail(source, where + " has no dataType");
        }
        const auto dataType = multiArrayDataTypeFromString(entry["dataType"].get<std::string>());
        if (!dataType) {
            fail(source, where + " has unknown dataType " + entry["dataType"].dump());
        }
        if (!entry.contains("shape") || !entry["shape"].is_array() || entry["shape"].empty()) {
            fail(source, where + " has no shape");
        }
        MultiArrayConstraint constraint;
        constraint.dataType = *dataType;
        for (const auto& d : entry["shape"]) {
            if (!d.is_number_integer() || d.get<long long>() < 1 || d.get<long long>() > (1LL << 40)) {
                fail(source, where + " has a shape entry that is not a positive integer");
            }
            constraint.shape.push_back(d.get<std::int64_t>());
        }
        feature.multiArrayConstraint = std::move(constraint);
        for (const auto& other : features) {
            if (other.name == feature.name) {
                fail(source, where + " is listed twice");
            }
        }
        features.push_back(std::move(feature));
    }
    return features;
}

nlohmann::json featuresToJson(const std::vector<FeatureDescription>& features)
{
    nlohmann::json list = nlohmann::json::array();
    for (const auto& feature : features) {
        list.push_back({
            { "name", feature.name },
            { "type", "multiArray" },
            { "dataType", toString(feature.multiArrayConstraint->dataType) },
            { "shape", feature.multiArrayConstraint->shape },
        });
    }
    return list;
}

FeatureDescription feature(std::string name, MultiArrayDataType type, std::vector<std::int64_t> shape)
{
    return FeatureDescription { std::move(name), FeatureType::multiArray, MultiArrayConstraint { std::move(shape), type } };
}

} // namespace

StageManifest parseStageManifest(const std::string& text, const std::string& sourceName)
{
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        fail(sourceName, std::string("not valid JSON: ") + error.what());
    }
    if (!json.is_object()) {
        fail(sourceName, "not a JSON object");
    }
    if (!json.contains("format") || json["format"] != kFormatName) {
        fail(sourceName, std::string("\"format\" is not \"") + kFormatName + "\"");
    }
    if (!json.contains("formatVersion") || !json["formatVersion"].is_number_integer()) {
        fail(sourceName, "\"formatVersion\" is missing");
    }
    if (json["formatVersion"].get<long long>() != kFormatVersion) {
        fail(sourceName, "unsupported formatVersion " + json["formatVersion"].dump());
    }
    if (!json.contains("stage") || !json["stage"].is_string()) {
        fail(sourceName, "\"stage\" is missing");
    }
    StageManifest manifest;
    manifest.stage = json["stage"].get<std::string>();
    if (!json.contains("inputs") || !json.contains("outputs")) {
        fail(sourceName, "\"inputs\" or \"outputs\" is missing");
    }
    manifest.description.inputs = parseFeatures(json["inputs"], "input", sourceName);
    manifest.description.outputs = parseFeatures(json["outputs"], "output", sourceName);
    if (!json.contains("parameters") || !json["parameters"].is_object()) {
        fail(sourceName, "\"parameters\" is missing");
    }
    manifest.parameters = json["parameters"];
    if (json.contains("source") && json["source"].is_object()) {
        manifest.source = json["source"];
    }
    return manifest;
}

StageManifest readStageManifest(const std::filesystem::path& file)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        fail(file.string(), "model description not found");
    }
    const auto text = hushnote::readWholeFile(file);
    if (!text) {
        fail(file.string(), "cannot read the model description");
    }
    return parseStageManifest(*text, file.string());
}

std::string serializeStageManifest(const StageManifest& manifest)
{
    const nlohmann::json json = {
        { "format", kFormatName },
        { "formatVersion", kFormatVersion },
        { "stage", manifest.stage },
        { "inputs", featuresToJson(manifest.description.inputs) },
        { "outputs", featuresToJson(manifest.description.outputs) },
        { "parameters", manifest.parameters },
        { "source", manifest.source },
    };
    return json.dump(2) + "\n";
}

MelSpectrogramParameters melSpectrogramParameters(const nlohmann::json& json, const std::string& source)
{
    MelSpectrogramParameters p;
    p.sampleRate = requireInt(json, "sampleRate", 1000, 192000, source);
    p.nFft = requireInt(json, "nFft", 16, 8192, source);
    p.hopLength = requireInt(json, "hopLength", 1, 8192, source);
    p.nMels = requireInt(json, "nMels", 1, 512, source);
    p.windowSamples = requireInt(json, "windowSamples", 1, 16000 * 600, source);
    if (p.windowSamples % p.hopLength != 0 || p.windowSamples <= p.nFft) {
        fail(source, "windowSamples must be a multiple of hopLength and longer than nFft");
    }
    return p;
}

AudioEncoderParameters audioEncoderParameters(const nlohmann::json& json, const std::string& source)
{
    AudioEncoderParameters p;
    p.nMels = requireInt(json, "nMels", 1, 512, source);
    p.dModel = requireInt(json, "dModel", 1, 8192, source);
    p.layers = requireInt(json, "layers", 0, 256, source);
    p.heads = requireInt(json, "heads", 1, 256, source);
    p.ffnDim = requireInt(json, "ffnDim", 1, 65536, source);
    p.positions = requireInt(json, "positions", 1, 65536, source);
    if (p.dModel % p.heads != 0) {
        fail(source, "dModel is not a multiple of heads");
    }
    return p;
}

TextDecoderParameters textDecoderParameters(const nlohmann::json& json, const std::string& source)
{
    TextDecoderParameters p;
    p.dModel = requireInt(json, "dModel", 1, 8192, source);
    p.layers = requireInt(json, "layers", 1, 256, source);
    p.heads = requireInt(json, "heads", 1, 256, source);
    p.ffnDim = requireInt(json, "ffnDim", 1, 65536, source);
    p.vocabSize = requireInt(json, "vocabSize", 1, 1'000'000, source);
    p.maxTargetPositions = requireInt(json, "maxTargetPositions", 1, 65536, source);
    p.kvCacheLength = requireInt(json, "kvCacheLength", 1, p.maxTargetPositions, source);
    p.encoderPositions = requireInt(json, "encoderPositions", 1, 65536, source);
    if (p.dModel % p.heads != 0) {
        fail(source, "dModel is not a multiple of heads");
    }
    if (!json.contains("alignmentHeads") || !json["alignmentHeads"].is_array()) {
        fail(source, "parameter \"alignmentHeads\" is not a list");
    }
    for (const auto& pair : json["alignmentHeads"]) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer()) {
            fail(source, "an alignment head is not a [layer, head] pair");
        }
        const auto layer = pair[0].get<long long>();
        const auto head = pair[1].get<long long>();
        if (layer < 0 || layer >= p.layers || head < 0 || head >= p.heads) {
            fail(source, "alignment head [" + std::to_string(layer) + ", " + std::to_string(head) + "] is outside the model");
        }
        p.alignmentHeads.emplace_back(static_cast<int>(layer), static_cast<int>(head));
    }
    return p;
}

nlohmann::json toJson(const MelSpectrogramParameters& p)
{
    return { { "sampleRate", p.sampleRate }, { "nFft", p.nFft }, { "hopLength", p.hopLength }, { "nMels", p.nMels },
        { "windowSamples", p.windowSamples } };
}

nlohmann::json toJson(const AudioEncoderParameters& p)
{
    return { { "nMels", p.nMels }, { "dModel", p.dModel }, { "layers", p.layers }, { "heads", p.heads },
        { "ffnDim", p.ffnDim }, { "positions", p.positions } };
}

nlohmann::json toJson(const TextDecoderParameters& p)
{
    nlohmann::json heads = nlohmann::json::array();
    for (const auto& [layer, head] : p.alignmentHeads) {
        heads.push_back({ layer, head });
    }
    return { { "dModel", p.dModel }, { "layers", p.layers }, { "heads", p.heads }, { "ffnDim", p.ffnDim },
        { "vocabSize", p.vocabSize }, { "maxTargetPositions", p.maxTargetPositions },
        { "kvCacheLength", p.kvCacheLength }, { "encoderPositions", p.encoderPositions }, { "alignmentHeads", heads } };
}

ModelDescription describeStage(const MelSpectrogramParameters& p)
{
    ModelDescription d;
    d.inputs.push_back(feature("audio", MultiArrayDataType::float32, { p.windowSamples }));
    d.outputs.push_back(feature("melspectrogram_features", MultiArrayDataType::float32, { 1, p.nMels, 1, p.frames() }));
    return d;
}

ModelDescription describeStage(const AudioEncoderParameters& p)
{
    ModelDescription d;
    d.inputs.push_back(feature("melspectrogram_features", MultiArrayDataType::float32, { 1, p.nMels, 1, 2 * p.positions }));
    d.outputs.push_back(feature("encoder_output_embeds", MultiArrayDataType::float32, { 1, p.dModel, 1, p.positions }));
    return d;
}

ModelDescription describeStage(const TextDecoderParameters& p)
{
    const std::int64_t embed = static_cast<std::int64_t>(p.layers) * p.dModel;
    const std::int64_t slots = p.kvCacheLength;
    ModelDescription d;
    d.inputs = {
        feature("input_ids", MultiArrayDataType::int32, { 1 }),
        feature("cache_length", MultiArrayDataType::int32, { 1 }),
        feature("key_cache", MultiArrayDataType::float16, { 1, embed, 1, slots }),
        feature("value_cache", MultiArrayDataType::float16, { 1, embed, 1, slots }),
        feature("kv_cache_update_mask", MultiArrayDataType::int32, { 1, slots }),
        feature("encoder_output_embeds", MultiArrayDataType::float32, { 1, p.dModel, 1, p.encoderPositions }),
        feature("decoder_key_padding_mask", MultiArrayDataType::float16, { 1, slots }),
    };
    d.outputs = {
        feature("logits", MultiArrayDataType::float16, { 1, 1, p.vocabSize }),
        feature("key_cache_updates", MultiArrayDataType::float16, { 1, embed, 1, 1 }),
        feature("value_cache_updates", MultiArrayDataType::float16, { 1, embed, 1, 1 }),
    };
    if (!p.alignmentHeads.empty()) {
        d.outputs.push_back(feature("alignment_heads_weights", MultiArrayDataType::float16, { 1, p.encoderPositions }));
    }
    return d;
}

StageManifest makeStageManifest(const MelSpectrogramParameters& p)
{
    return StageManifest { kMelSpectrogramStage, describeStage(p), toJson(p), nlohmann::json::object() };
}

StageManifest makeStageManifest(const AudioEncoderParameters& p)
{
    return StageManifest { kAudioEncoderStage, describeStage(p), toJson(p), nlohmann::json::object() };
}

StageManifest makeStageManifest(const TextDecoderParameters& p)
{
    return StageManifest { kTextDecoderStage, describeStage(p), toJson(p), nlohmann::json::object() };
}

} // namespace auralis::runtime
