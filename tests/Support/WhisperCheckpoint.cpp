#include "tests/Support/WhisperCheckpoint.h"

#include "Auralis/Runtime/SafeTensors.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace hushnote::testing {

namespace fs = std::filesystem;
using auralis::runtime::SafeTensorsWriter;

namespace {

constexpr const char* kLanguages[] = { "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl", "ca", "nl", "ar",
    "sv", "it", "id", "hi", "fi", "vi", "he", "uk", "el", "ms", "cs", "ro", "da", "hu", "ta", "no", "th", "ur", "hr", "bg",
    "lt", "la", "mi", "ml", "cy", "sk", "te", "fa", "lv", "bn", "sr", "az", "sl", "kn", "et", "mk", "br", "eu", "is", "hy",
    "ne", "mn", "bs", "kk", "sq", "sw", "gl", "mr", "pa", "si", "km", "sn", "yo", "so", "af", "oc", "ka", "be", "tg", "sd",
    "gu", "am", "yi", "lo", "uz", "fo", "ht", "ps", "tk", "nn", "mt", "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw",
    "ln", "ha", "ba", "jw", "su", "yue" };

std::uint64_t splitMix(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t nameSeed(const std::string& name, std::uint64_t seed)
{
    std::uint64_t hash = 1469598103934665603ull ^ seed;
    for (const unsigned char c : name) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

// Uniform values in [centre - spread, centre + spread).
std::vector<float> uniform(const std::string& name, std::size_t count, float centre, float spread, std::uint64_t seed)
{
    std::uint64_t state = nameSeed(name, seed);
    std::vector<float> values(count);
    for (auto& v : values) {
        const double unit = static_cast<double>(splitMix(state) >> 11) * (1.0 / 9007199254740992.0);
        v = centre + spread * static_cast<float>(2.0 * unit - 1.0);
    }
    return values;
}

class TensorSink {
public:
    TensorSink(SafeTensorsWriter& writer, const WhisperCheckpointLayout& layout)
        : writer_(writer)
        , layout_(layout)
    {
    }

    void add(const std::string& name, std::vector<std::int64_t> shape, const std::vector<float>& values)
    {
        if (layout_.dtype == "F32") {
            writer_.addFloat32(name, std::move(shape), values);
        } else if (layout_.dtype == "F16") {
            writer_.addFloat16(name, std::move(shape), values);
        } else if (layout_.dtype == "BF16") {
            std::vector<std::uint16_t> bits(values.size());
            for (std::size_t i = 0; i < values.size(); ++i) {
                std::uint32_t word;
                std::memcpy(&word, &values[i], 4);
                bits[i] = static_cast<std::uint16_t>((word + 0x7FFFu + ((word >> 16) & 1u)) >> 16);
            }
            writer_.add(name, "BF16", std::move(shape), std::as_bytes(std::span<const std::uint16_t>(bits)));
        } else {
            throw std::invalid_argument("unknown checkpoint dtype " + layout_.dtype);
        }
    }

    // Uniform in +-sqrt(3 / fanIn): unit variance through a product with unit-variance inputs.
    void linear(const std::string& name, int out, int in, bool bias)
    {
        const float spread = std::sqrt(3.0f / static_cast<float>(in));
        add(name + ".weight", { out, in }, uniform(name + ".weight", static_cast<std::size_t>(out) * in, 0, spread, layout_.seed));
        if (bias) {
            add(name + ".bias", { out }, uniform(name + ".bias", static_cast<std::size_t>(out), 0, 0.1f, layout_.seed));
        }
    }

    void norm(const std::string& name, int d)
    {
        add(name + ".weight", { d }, uniform(name + ".weight", static_cast<std::size_t>(d), 1.0f, 0.2f, layout_.seed));
        add(name + ".bias", { d }, uniform(name + ".bias", static_cast<std::size_t>(d), 0, 0.1f, layout_.seed));
    }

    void attention(const std::string& prefix, int d)
    {
        linear(prefix + "q_proj", d, d, true);
        linear(prefix + "k_proj", d, d, false);
        linear(prefix + "v_proj", d, d, true);
        linear(prefix + "out_proj", d, d, true);
    }

    void mlp(const std::string& prefix, int d, int ffn)
    {
        linear(prefix + "fc1", ffn, d, true);
        linear(prefix + "fc2", d, ffn, true);
    }

private:
    SafeTensorsWriter& writer_;
    const WhisperCheckpointLayout& layout_;
};

std::vector<float> sinusoids(int length, int channels)
{
    const int half = channels / 2;
    const double increment = std::log(10000.0) / (half - 1);
    std::vector<float> table(static_cast<std::size_t>(length) * channels);
    for (int t = 0; t < length; ++t) {
        for (int c = 0; c < half; ++c) {
            const double angle = t * std::exp(-increment * c);
            table[static_cast<std::size_t>(t) * channels + c] = static_cast<float>(std::sin(angle));
            table[static_cast<std::size_t>(t) * channels + half + c] = static_cast<float>(std::cos(angle));
        }
    }
    return table;
}

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// GPT-2's byte-to-character table: printable bytes stand for themselves, the rest are shifted
// to code points from 256 on.
std::vector<std::string> byteCharacters()
{
    std::vector<int> printable;
    for (int b = '!'; b <= '~'; ++b) {
        printable.push_back(b);
    }
    for (int b = 0xA1; b <= 0xAC; ++b) {
        printable.push_back(b);
    }
    for (int b = 0xAE; b <= 0xFF; ++b) {
        printable.push_back(b);
    }
    std::vector<int> codePoint(256, -1);
    for (int b : printable) {
        codePoint[b] = b;
    }
    int next = 256;
    std::vector<int> order = printable;
    for (int b = 0; b < 256; ++b) {
        if (codePoint[b] < 0) {
            codePoint[b] = next++;
            order.push_back(b);
        }
    }
    std::vector<std::string> characters;
    for (int b : order) {
        const int cp = codePoint[b];
        std::string utf8;
        if (cp < 0x80) {
            utf8 += static_cast<char>(cp);
        } else {
            utf8 += static_cast<char>(0xC0 | (cp >> 6));
            utf8 += static_cast<char>(0x80 | (cp & 0x3F));
        }
        characters.push_back(utf8);
    }
    return characters;
}

} // namespace

std::string whisperTestTokenizerJson(int vocabSize)
{
    const bool multilingual = vocabSize >= 51865;
    const int languageCount = vocabSize == 51866 ? 100 : 99;
    nlohmann::json vocab = nlohmann::json::object();
    int id = 0;
    for (const auto& character : byteCharacters()) {
        vocab[character] = id++;
    }
    const std::vector<std::pair<std::string, std::string>> merges { { "\xC4\xA0", "t" }, { "h", "e" }, { "\xC4\xA0t", "he" } };
    nlohmann::json mergeList = nlohmann::json::array();
    for (const auto& [left, right] : merges) {
        vocab[left + right] = id++;
        mergeList.push_back(left + " " + right);
    }
    nlohmann::json added = nlohmann::json::array();
    int tokenId = multilingual ? 50257 : 50256;
    const auto addToken = [&](const std::string& content) {
        added.push_back({ { "id", tokenId++ }, { "content", content }, { "single_word", false }, { "lstrip", false },
            { "rstrip", false }, { "normalized", false }, { "special", true } });
    };
    addToken("<|endoftext|>");
    addToken("<|startoftranscript|>");
    for (int i = 0; i < languageCount; ++i) {
        addToken(std::string("<|") + kLanguages[i] + "|>");
    }
    for (const char* token : { "<|translate|>", "<|transcribe|>", "<|startoflm|>", "<|startofprev|>", "<|nospeech|>",
             "<|notimestamps|>" }) {
        addToken(token);
    }
    for (int step = 0; tokenId < vocabSize; ++step) {
        char text[16];
        std::snprintf(text, sizeof text, "<|%.2f|>", step * 0.02);
        addToken(text);
    }
    const nlohmann::json tokenizer = {
        { "version", "1.0" },
        { "truncation", nullptr },
        { "padding", nullptr },
        { "added_tokens", added },
        { "normalizer", nullptr },
        { "pre_tokenizer", { { "type", "ByteLevel" }, { "add_prefix_space", false }, { "trim_offsets", true }, { "use_regex", true } } },
        { "post_processor", nullptr },
        { "decoder", { { "type", "ByteLevel" }, { "add_prefix_space", true }, { "trim_offsets", true }, { "use_regex", true } } },
        { "model",
            { { "type", "BPE" }, { "dropout", nullptr }, { "unk_token", nullptr }, { "continuing_subword_prefix", "" },
                { "end_of_word_suffix", "" }, { "fuse_unk", false }, { "byte_fallback", false }, { "vocab", vocab },
                { "merges", mergeList } } },
    };
    return tokenizer.dump(2) + "\n";
}

void writeWhisperCheckpoint(const fs::path& directory, const WhisperCheckpointLayout& layout)
{
    fs::create_directories(directory);
    const int d = layout.dModel;
    SafeTensorsWriter writer;
    writer.setMetadata("format", "pt");
    TensorSink sink(writer, layout);

    sink.add("model.encoder.conv1.weight", { d, layout.nMels, 3 },
        uniform("model.encoder.conv1.weight", static_cast<std::size_t>(d) * layout.nMels * 3, 0, std::sqrt(3.0f / (3.0f * layout.nMels)), layout.seed));
    sink.add("model.encoder.conv1.bias", { d }, uniform("model.encoder.conv1.bias", static_cast<std::size_t>(d), 0, 0.1f, layout.seed));
    sink.add("model.encoder.conv2.weight", { d, d, 3 },
        uniform("model.encoder.conv2.weight", static_cast<std::size_t>(d) * d * 3, 0, std::sqrt(3.0f / (3.0f * d)), layout.seed));
    sink.add("model.encoder.conv2.bias", { d }, uniform("model.encoder.conv2.bias", static_cast<std::size_t>(d), 0, 0.1f, layout.seed));
    sink.add("model.encoder.embed_positions.weight", { layout.sourcePositions, d }, sinusoids(layout.sourcePositions, d));
    for (int i = 0; i < layout.encoderLayers; ++i) {
        const std::string prefix = "model.encoder.layers." + std::to_string(i) + ".";
        sink.attention(prefix + "self_attn.", d);
        sink.norm(prefix + "self_attn_layer_norm", d);
        sink.mlp(prefix, d, layout.ffnDim);
        sink.norm(prefix + "final_layer_norm", d);
    }
    sink.norm("model.encoder.layer_norm", d);

    sink.add("model.decoder.embed_tokens.weight", { layout.vocabSize, d },
        uniform("model.decoder.embed_tokens.weight", static_cast<std::size_t>(layout.vocabSize) * d, 0, std::sqrt(3.0f), layout.seed));
    sink.add("model.decoder.embed_positions.weight", { layout.targetPositions, d },
        uniform("model.decoder.embed_positions.weight", static_cast<std::size_t>(layout.targetPositions) * d, 0, 0.5f, layout.seed));
    for (int i = 0; i < layout.decoderLayers; ++i) {
        const std::string prefix = "model.decoder.layers." + std::to_string(i) + ".";
        sink.attention(prefix + "self_attn.", d);
        sink.norm(prefix + "self_attn_layer_norm", d);
        sink.attention(prefix + "encoder_attn.", d);
        sink.norm(prefix + "encoder_attn_layer_norm", d);
        sink.mlp(prefix, d, layout.ffnDim);
        sink.norm(prefix + "final_layer_norm", d);
    }
    sink.norm("model.decoder.layer_norm", d);
    writer.write(directory / "model.safetensors");

    const bool multilingual = layout.vocabSize >= 51865;
    const int endOfText = multilingual ? 50257 : 50256;
    const nlohmann::json config = {
        { "architectures", { "WhisperForConditionalGeneration" } },
        { "model_type", "whisper" },
        { "activation_function", "gelu" },
        { "d_model", d },
        { "encoder_layers", layout.encoderLayers },
        { "decoder_layers", layout.decoderLayers },
        { "num_hidden_layers", layout.encoderLayers },
        { "encoder_attention_heads", layout.heads },
        { "decoder_attention_heads", layout.heads },
        { "encoder_ffn_dim", layout.ffnDim },
        { "decoder_ffn_dim", layout.ffnDim },
        { "num_mel_bins", layout.nMels },
        { "vocab_size", layout.vocabSize },
        { "max_source_positions", layout.sourcePositions },
        { "max_target_positions", layout.targetPositions },
        { "scale_embedding", false },
        { "bos_token_id", endOfText },
        { "eos_token_id", endOfText },
        { "pad_token_id", endOfText },
        { "decoder_start_token_id", endOfText + 1 },
        { "torch_dtype", layout.dtype == "F32" ? "float32" : "float16" },
    };
    writeText(directory / "config.json", config.dump(2) + "\n");
    if (layout.generationConfig) {
        nlohmann::json heads = nlohmann::json::array();
        for (const auto& [layer, head] : layout.alignmentHeads) {
            heads.push_back({ layer, head });
        }
        const nlohmann::json generation = {
            { "alignment_heads", heads },
            { "bos_token_id", endOfText },
            { "eos_token_id", endOfText },
            { "decoder_start_token_id", endOfText + 1 },
            { "is_multilingual", multilingual },
            { "max_length", layout.targetPositions },
            { "no_timestamps_token_id", multilingual ? 50363 : 50362 },
        };
        writeText(directory / "generation_config.json", generation.dump(2) + "\n");
    }
    writeText(directory / "tokenizer.json", whisperTestTokenizerJson(layout.vocabSize));
}

} // namespace hushnote::testing
