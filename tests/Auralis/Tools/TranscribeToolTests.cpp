#include "Auralis/Core/Text/BPETokenizer.h"
#include "tests/Support/ScriptedWhisperModel.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using hushnote::testing::ScriptedWhisperModel;
using hushnote::testing::TemporaryDirectory;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs hushnote-transcribe with `arguments` (each quoted) as a child process.
ToolRun runTool(const std::vector<std::string>& arguments, const fs::path& scratch)
{
    std::string command = "'" HUSHNOTE_TRANSCRIBE_TOOL "'";
    for (const auto& argument : arguments) {
        command += " '" + argument + "'";
    }
    const auto errFile = scratch / "stderr.txt";
    command += " 2>'" + errFile.string() + "'";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t read = 0;
    while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.out.append(buffer, read);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = hushnote::testing::readFile(errFile);
    return run;
}

std::vector<float> speechLike(std::size_t samples)
{
    std::vector<float> out(samples);
    for (std::size_t n = 0; n < samples; ++n) {
        const double t = static_cast<double>(n) / 16000;
        out[n] = static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * (180 + 60 * std::sin(3 * t)) * t));
    }
    return out;
}

TEST(TranscribeTool, PrintsDeterministicJsonResultsWithTimings)
{
    const auto text = auralis::BPETokenizer::fromJson(hushnote::testing::whisperTestTokenizerJson(51865))->encode(" the cat");
    const ScriptedWhisperModel model(ScriptedWhisperModel::englishTranscript(text, 1.5));
    TemporaryDirectory directory;
    const auto first = directory.path() / "first.wav";
    const auto second = directory.path() / "second.wav";
    hushnote::testing::writeWav16kMono(first, speechLike(48000));
    hushnote::testing::writeWav16kMono(second, speechLike(24000));

    const auto run = runTool({"--model", model.modelFolder().string(), "--json", "--word-timestamps", first.string(), second.string()},
        directory.path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<nlohmann::json> results;
    for (std::string line; std::getline(lines, line);) {
        results.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(results.size(), 2u);
    for (const auto& result : results) {
        EXPECT_EQ(result.at("text"), "the cat");
        EXPECT_EQ(result.at("language"), "en");
        const auto& segments = result.at("segments");
        ASSERT_EQ(segments.size(), 1u);
        const auto& segment = segments[0];
        EXPECT_EQ(segment.at("tokens").front(), 50258);
        EXPECT_EQ(segment.at("tokens").back(), 50257);
        EXPECT_EQ(segment.at("tokenLogProbs").size(), segment.at("tokens").size());
        EXPECT_TRUE(segment.contains("words"));
        const auto& timings = result.at("timings");
        EXPECT_GT(timings.at("fullPipeline").get<double>(), 0);
        EXPECT_GT(timings.at("decodingPredictions").get<double>(), 0);
        EXPECT_GT(timings.at("encoding").get<double>(), 0);
        EXPECT_EQ(timings.at("totalDecodingWindows"), 1);
        EXPECT_EQ(timings.at("totalTimestampAlignmentRuns"), 1);
    }
    EXPECT_DOUBLE_EQ(results[0].at("timings").at("inputAudioSeconds").get<double>(), 3.0);
    EXPECT_DOUBLE_EQ(results[1].at("timings").at("inputAudioSeconds").get<double>(), 1.5);

    // Temperature 0 decodes the same tokens again; plain output is the text alone.
    const auto again = runTool({"--model", model.modelFolder().string(), first.string()}, directory.path());
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "the cat\n");
    const auto json = runTool({"--model", model.modelFolder().string(), "--json", "--word-timestamps", first.string()}, directory.path());
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("segments"), results[0].at("segments"));
}

TEST(TranscribeTool, ReportsUsageAndFailures)
{
    TemporaryDirectory directory;
    auto run = runTool({"--json"}, directory.path());
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("usage: hushnote-transcribe --model <model-dir>"), std::string::npos);
    run = runTool({"--model", (directory.path() / "none").string(), "a.wav"}, directory.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the model at"), std::string::npos) << run.err;
    run = runTool({"--model", "m", "--sample-length", "zero", "a.wav"}, directory.path());
    EXPECT_EQ(run.status, 2);
}

} // namespace
