// hushnote-model run as a child process, the way a user runs it.
#include "Auralis/Runtime/Npy.h"

#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sys/wait.h>

namespace auralis::runtime {
namespace {

namespace fs = std::filesystem;
using hushnote::testing::TemporaryDirectory;

struct ToolResult {
    int status = -1;
    std::string output;
};

ToolResult runTool(const std::string& arguments)
{
    const std::string command = std::string(HUSHNOTE_MODEL_TOOL) + " " + arguments + " 2>&1";
    ToolResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, read);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// 16-bit PCM WAV of a 440 Hz tone.
void writeWav(const fs::path& path, int sampleRate, int channels, int frames)
{
    std::string bytes;
    const auto put = [&](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames * channels * 2);
    bytes += "RIFF";
    put(36 + dataBytes, 4);
    bytes += "WAVEfmt ";
    put(16, 4);
    put(1, 2);
    put(static_cast<std::uint32_t>(channels), 2);
    put(static_cast<std::uint32_t>(sampleRate), 4);
    put(static_cast<std::uint32_t>(sampleRate * channels * 2), 4);
    put(static_cast<std::uint32_t>(channels * 2), 2);
    put(16, 2);
    bytes += "data";
    put(dataBytes, 4);
    for (int n = 0; n < frames; ++n) {
        const auto sample = static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * n / sampleRate));
        for (int c = 0; c < channels; ++c) {
            put(static_cast<std::uint16_t>(sample), 2);
        }
    }
    hushnote::testing::writeFile(path, bytes);
}

TEST(ModelTool, ImportsDescribesAndProbesACheckpoint)
{
    const TemporaryDirectory dir;
    hushnote::testing::writeWhisperCheckpoint(dir.path() / "checkpoint");
    const auto imported = runTool("import " + (dir.path() / "checkpoint").string() + " " + (dir.path() / "model").string());
    ASSERT_EQ(imported.status, 0) << imported.output;
    EXPECT_NE(imported.output.find("d_model 64, 2+2 layers, 80 mels, vocabulary 51865, F32 weights, 2 alignment heads"), std::string::npos)
        << imported.output;

    const auto described = runTool("describe " + (dir.path() / "model").string());
    ASSERT_EQ(described.status, 0) << described.output;
    for (const char* line : { "melspectrogram_features [1, 80, 1, 3000] float32", "key_cache [1, 128, 1, 224] float16",
             "alignment_heads_weights [1, 1500] float16", "Tokenizer files: config.json generation_config.json tokenizer.json" }) {
        EXPECT_NE(described.output.find(line), std::string::npos) << line << "\n" << described.output;
    }

    writeWav(dir.path() / "tone.wav", 16000, 1, 16000);
    const auto probed = runTool("probe " + (dir.path() / "model").string() + " " + (dir.path() / "tone.wav").string()
        + " --tokens 50258,50259,50359 --threads 2 --out " + (dir.path() / "probe").string());
    ASSERT_EQ(probed.status, 0) << probed.output;
    EXPECT_EQ(readNpy(dir.path() / "probe" / "mel.npy").shape, (std::vector<std::int64_t> { 1, 80, 1, 3000 }));
    EXPECT_EQ(readNpy(dir.path() / "probe" / "encoder_output.npy").shape, (std::vector<std::int64_t> { 1, 64, 1, 1500 }));
    const auto logits = readNpy(dir.path() / "probe" / "logits.npy");
    EXPECT_EQ(logits.shape, (std::vector<std::int64_t> { 3, 51865 }));
    EXPECT_EQ(readNpy(dir.path() / "probe" / "alignment_heads_weights.npy").shape, (std::vector<std::int64_t> { 3, 1500 }));
}

TEST(ModelTool, ReportsFailuresWithTheirCause)
{
    const TemporaryDirectory dir;
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    writeWav(dir.path() / "cd.wav", 44100, 2, 4410);
    fs::create_directory(dir.path() / "empty");
    const Case cases[] = {
        { "", 2, "hushnote-model: no command given" },
        { "convert a b", 2, "unknown command \"convert\"" },
        { "import only-one", 2, "import needs <hf-checkpoint-dir> <model-dir>" },
        { "probe model audio.wav", 2, "probe needs --out <dir>" },
        { "probe model audio.wav --out x --tokens 1,x", 2, "a token id must be an integer, got \"x\"" },
        { "describe " + (dir.path() / "missing").string(), 1, (dir.path() / "missing").string() + ": model folder not found" },
        { "describe " + (dir.path() / "empty").string(), 1, "MelSpectrogram.mlmodelc: model directory not found" },
        { "import " + (dir.path() / "empty").string() + " " + (dir.path() / "out").string(), 1, "config.json: cannot read the file" },
        { "probe " + (dir.path() / "empty").string() + " " + (dir.path() / "cd.wav").string() + " --out " + (dir.path() / "p").string(), 1,
            "audio is 44100 Hz with 2 channel(s); probe needs 16000 Hz mono" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto result = runTool(c.arguments);
        EXPECT_EQ(result.status, c.status) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "out"));
}

TEST(Npy, RoundTripsAndRefusesMalformedFiles)
{
    const TemporaryDirectory dir;
    const std::int64_t shape[] = { 2, 3 };
    writeNpy(dir.path() / "a.npy", shape, std::vector<float> { 1, 2, 3, 4, 5, 6 });
    const auto array = readNpy(dir.path() / "a.npy");
    EXPECT_EQ(array.descr, "<f4");
    EXPECT_EQ(array.shape, (std::vector<std::int64_t> { 2, 3 }));
    EXPECT_EQ(array.toFloat(), (std::vector<float> { 1, 2, 3, 4, 5, 6 }));
    const auto bytes = hushnote::testing::readFile(dir.path() / "a.npy");
    EXPECT_EQ((bytes.size() - 24) % 64, 0u);
    const std::int64_t vector[] = { 3 };
    EXPECT_NE(serializeNpy("<f4", vector, std::as_bytes(std::span<const float>(std::vector<float> { 1, 2, 3 }))).find("(3,)"),
        std::string::npos);
    for (const std::string& broken : { bytes.substr(0, 20), bytes.substr(0, bytes.size() - 4), std::string("not a numpy file at all") }) {
        EXPECT_THROW(parseNpy(std::as_bytes(std::span<const char>(broken.data(), broken.size())), "broken.npy"), std::exception);
    }
}

} // namespace
} // namespace auralis::runtime
