#include "tests/Support/ScriptedWhisperModel.h"

#include "Auralis/Runtime/ModelImporter.h"
#include "Auralis/Runtime/SafeTensors.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <stdexcept>

namespace hushnote::testing {

namespace {

bool silencedInDecoder(const std::string& name)
{
    if (!name.starts_with("model.decoder.layers.")) {
        return false;
    }
    return name.ends_with("self_attn.out_proj.weight") || name.ends_with("self_attn.out_proj.bias")
        || name.ends_with("encoder_attn.out_proj.weight") || name.ends_with("encoder_attn.out_proj.bias")
        || name.ends_with("fc2.weight") || name.ends_with("fc2.bias");
}

void appendLittleEndian(std::ofstream& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

} // namespace

ScriptedWhisperModel::ScriptedWhisperModel(const std::vector<std::int64_t>& predictions, const WhisperCheckpointLayout& layout)
    : modelFolder_(directory_.path() / "openai_whisper-small")
{
    if (layout.dtype != "F32") {
        throw std::invalid_argument("scripted models are built from F32 checkpoints");
    }
    const auto checkpoint = directory_.path() / "checkpoint";
    writeWhisperCheckpoint(checkpoint, layout);
    const auto weightsPath = checkpoint / "model.safetensors";
    const auto file = auralis::runtime::SafeTensorsFile::open(weightsPath);

    const auto d = static_cast<std::size_t>(layout.dModel);
    // A large random direction per scripted token, so its logit dominates once the hidden
    // state points its way.
    std::mt19937 random(7);
    std::normal_distribution<float> normal;
    std::map<std::int64_t, std::vector<float>> directions;
    for (const auto token : predictions) {
        if (directions.contains(token)) {
            continue;
        }
        std::vector<float> direction(d);
        float norm = 0;
        for (auto& value : direction) {
            value = normal(random);
            norm += value * value;
        }
        for (auto& value : direction) {
            value *= 50.0f / std::sqrt(norm);
        }
        directions.emplace(token, std::move(direction));
    }

    auralis::runtime::SafeTensorsWriter writer;
    std::vector<std::vector<float>> keep;
    keep.reserve(file.tensors().size());
    for (const auto& tensor : file.tensors()) {
        auto values = file.floatTensor(tensor.name, tensor.shape);
        if (silencedInDecoder(tensor.name)) {
            std::fill(values.begin(), values.end(), 0.0f);
        } else if (tensor.name == "model.decoder.embed_tokens.weight") {
            for (const auto& [token, direction] : directions) {
                std::copy(direction.begin(), direction.end(), values.begin() + static_cast<std::ptrdiff_t>(token * d));
            }
        } else if (tensor.name == "model.decoder.embed_positions.weight") {
            for (std::size_t p = 0; p < predictions.size(); ++p) {
                const auto& direction = directions.at(predictions[p]);
                for (std::size_t c = 0; c < d; ++c) {
                    values[p * d + c] = 4.0f * direction[c];
                }
            }
        } else if (tensor.name == "model.decoder.layer_norm.weight") {
            std::fill(values.begin(), values.end(), 1.0f);
        } else if (tensor.name == "model.decoder.layer_norm.bias") {
            std::fill(values.begin(), values.end(), 0.0f);
        }
        keep.push_back(std::move(values));
        writer.addFloat32(tensor.name, tensor.shape, keep.back());
    }
    writer.write(weightsPath.string() + ".scripted");
    std::filesystem::rename(weightsPath.string() + ".scripted", weightsPath);
    auralis::runtime::importCheckpoint(checkpoint, modelFolder_);
}

std::vector<std::int64_t> ScriptedWhisperModel::englishTranscript(const std::vector<std::int64_t>& text, double endSeconds)
{
    constexpr std::int64_t english = 50259;
    constexpr std::int64_t transcribe = 50359;
    constexpr std::int64_t timeBegin = 50364;
    constexpr std::int64_t end = 50257;
    std::vector<std::int64_t> predictions{english, transcribe, timeBegin};
    predictions.insert(predictions.end(), text.begin(), text.end());
    predictions.push_back(timeBegin + static_cast<std::int64_t>(std::lround(endSeconds / 0.02)));
    predictions.push_back(end);
    return predictions;
}

void writeWav16kMono(const std::filesystem::path& path, const std::vector<float>& samples)
{
    std::ofstream out(path, std::ios::binary);
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    appendLittleEndian(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    appendLittleEndian(out, 16, 4);
    appendLittleEndian(out, 1, 2);
    appendLittleEndian(out, 1, 2);
    appendLittleEndian(out, 16000, 4);
    appendLittleEndian(out, 32000, 4);
    appendLittleEndian(out, 2, 2);
    appendLittleEndian(out, 16, 2);
    out.write("data", 4);
    appendLittleEndian(out, dataBytes, 4);
    for (const float sample : samples) {
        const auto value = static_cast<std::int16_t>(std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
        appendLittleEndian(out, static_cast<std::uint16_t>(value), 2);
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace hushnote::testing
