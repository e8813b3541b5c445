#include "tools/hushnote-model/ModelTool.h"

#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/ModelFolder.h"
#include "Auralis/Runtime/ModelImporter.h"

#include <sndfile.h>

#include <algorithm>
#include <charconv>
#include <ostream>
#include <stdexcept>

namespace hushnote::tools {

namespace {

constexpr const char* kUsage = R"(usage:
  hushnote-model import <hf-checkpoint-dir> <model-dir> [--kv-cache-length N]
  hushnote-model describe <model-dir>
  hushnote-model probe <model-dir> <audio> [--tokens 50258,50259,50359,50364] --out <dir> [--threads N]
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int parseInt(const std::string& text, const char* what)
{
    int value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || ptr != end) {
        throw UsageError(std::string(what) + " must be an integer, got \"" + text + "\"");
    }
    return value;
}

std::vector<std::int32_t> parseTokens(const std::string& text)
{
    std::vector<std::int32_t> tokens;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const auto piece = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        tokens.push_back(parseInt(piece, "a token id"));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return tokens;
}

// Splits positional arguments from "--name value" options.
struct ParsedArguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;

    const std::string* option(const std::string& name) const
    {
        for (const auto& [key, value] : options) {
            if (key == name) {
                return &value;
            }
        }
        return nullptr;
    }
};

ParsedArguments parse(const std::vector<std::string>& arguments, std::size_t from, const std::vector<std::string>& known)
{
    ParsedArguments parsed;
    for (std::size_t i = from; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument.starts_with("--")) {
            if (std::find(known.begin(), known.end(), argument) == known.end()) {
                throw UsageError("unknown option " + argument);
            }
            if (i + 1 >= arguments.size()) {
                throw UsageError(argument + " needs a value");
            }
            parsed.options.emplace_back(argument, arguments[++i]);
        } else {
            parsed.positional.push_back(argument);
        }
    }
    return parsed;
}

} // namespace

std::vector<float> readMono16kAudio(const std::string& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        throw std::runtime_error(path + ": cannot open audio: " + sf_strerror(nullptr));
    }
    if (info.samplerate != 16000 || info.channels != 1) {
        sf_close(file);
        throw std::runtime_error(path + ": audio is " + std::to_string(info.samplerate) + " Hz with " + std::to_string(info.channels)
            + " channel(s); probe needs 16000 Hz mono");
    }
    std::vector<float> samples;
    float block[4096];
    for (;;) {
        const sf_count_t read = sf_read_float(file, block, 4096);
        if (read <= 0) {
            break;
        }
        samples.insert(samples.end(), block, block + read);
    }
    const int error = sf_error(file);
    sf_close(file);
    if (error != SF_ERR_NO_ERROR) {
        throw std::runtime_error(path + ": cannot read audio: " + sf_error_number(error));
    }
    return samples;
}

int runModelTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    try {
        if (arguments.empty()) {
            throw UsageError("no command given");
        }
        const auto& command = arguments[0];
        if (command == "import") {
            const auto parsed = parse(arguments, 1, { "--kv-cache-length" });
            if (parsed.positional.size() != 2) {
                throw UsageError("import needs <hf-checkpoint-dir> <model-dir>");
            }
            auralis::runtime::ImportOptions options;
            if (const auto* length = parsed.option("--kv-cache-length")) {
                options.kvCacheLength = parseInt(*length, "--kv-cache-length");
            }
            const auto summary = auralis::runtime::importCheckpoint(parsed.positional[0], parsed.positional[1], options);
            out << "Imported a Whisper model (d_model " << summary.dModel << ", " << summary.encoderLayers << "+"
                << summary.decoderLayers << " layers, " << summary.nMels << " mels, vocabulary " << summary.vocabSize << ", "
                << summary.weightType << " weights, " << summary.alignmentHeads << " alignment heads) into "
                << parsed.positional[1] << "\n";
            return 0;
        }
        if (command == "describe") {
            const auto parsed = parse(arguments, 1, {});
            if (parsed.positional.size() != 1) {
                throw UsageError("describe needs <model-dir>");
            }
            out << auralis::runtime::describeModelFolder(parsed.positional[0]);
            return 0;
        }
        if (command == "probe") {
            const auto parsed = parse(arguments, 1, { "--tokens", "--out", "--threads" });
            if (parsed.positional.size() != 2) {
                throw UsageError("probe needs <model-dir> <audio>");
            }
            const auto* outDir = parsed.option("--out");
            if (outDir == nullptr) {
                throw UsageError("probe needs --out <dir>");
            }
            std::vector<std::int32_t> tokens { 50258, 50259, 50359, 50364 };
            if (const auto* list = parsed.option("--tokens")) {
                tokens = parseTokens(*list);
            }
            auralis::runtime::ModelConfiguration configuration;
            if (const auto* threads = parsed.option("--threads")) {
                configuration.threadCount = parseInt(*threads, "--threads");
            }
            const auto samples = readMono16kAudio(parsed.positional[1]);
            const auto result = auralis::runtime::probeModelFolder(parsed.positional[0], samples, tokens, configuration);
            auralis::runtime::writeProbeResult(result, *outDir);
            out << "Wrote mel.npy, encoder_output.npy and logits.npy (" << tokens.size() << " steps) to " << *outDir << "\n";
            return 0;
        }
        throw UsageError("unknown command \"" + command + "\"");
    } catch (const UsageError& error) {
        err << "hushnote-model: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const hushnote::Error& error) {
        err << "hushnote-model: " << error.description() << "\n";
        return 1;
    } catch (const std::exception& error) {
        err << "hushnote-model: " << error.what() << "\n";
        return 1;
    }
}

} // namespace hushnote::tools
