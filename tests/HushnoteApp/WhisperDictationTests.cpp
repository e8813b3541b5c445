#include "Auralis/Core/Text/BPETokenizer.h"
#include "HushnoteApp/AppCoordinator.h"
#include "HushnoteCore/WhisperTranscriber.h"
#include "tests/Fakes/FakeClock.h"
#include "tests/Fakes/FakePlatform.h"
#include "tests/Support/ScriptedWhisperModel.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <numbers>
#include <sstream>

namespace hushnote {
namespace {

using namespace std::chrono_literals;

// A recorder whose recordings are real 16 kHz WAV files of a tone.
class ToneRecorder final : public AudioRecorder {
public:
    ToneRecorder(std::filesystem::path directory, const Clock& clock) : directory_(std::move(directory)), clock_(clock) {}

    asio::awaitable<void> start() override
    {
        startedAt_ = clock_.now();
        co_return;
    }
    std::optional<WallTime> startedAt() const override { return startedAt_; }
    std::filesystem::path stop() override
    {
        startedAt_.reset();
        std::filesystem::create_directories(directory_);
        const auto file = directory_ / "take-whisper.wav";
        std::vector<float> samples(24000);
        for (std::size_t n = 0; n < samples.size(); ++n) {
            samples[n] = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * 330 * static_cast<double>(n) / 16000));
        }
        testing::writeWav16kMono(file, samples);
        return file;
    }

private:
    std::filesystem::path directory_;
    const Clock& clock_;
    std::optional<WallTime> startedAt_;
};

TEST(WhisperDictation, ACoordinatorDictationWithAGeneratedModelPastesItsTranscript)
{
    const auto text = auralis::BPETokenizer::fromJson(testing::whisperTestTokenizerJson(51865))->encode(" the cat");
    const testing::ScriptedWhisperModel model(testing::ScriptedWhisperModel::englishTranscript(text, 1.0));

    testing::TemporaryDirectory directory;
    testing::FakeClock clock;
    asio::io_context loop;
    testing::FakePermissions permissions;
    FunctionKeyMonitor monitor;
    ToneRecorder recorder(directory.path() / "tmp", clock);
    testing::FakeTextInsertion inserter;
    testing::FakeClipboard clipboard;
    testing::FakeRecordingOverlay overlay;
    DiagnosticsStore diagnostics(permissions, SystemFacts{"1.0 (1)", "Debian", 1});
    FlowMetricsStore metricsStore(directory.path() / "metrics.json", 20);
    DiagnosticsLogger logger(directory.path() / "logs", clock);
    AppCoordinator coordinator(loop.get_executor(),
        CoordinatorComponents{diagnostics, monitor, recorder, inserter, clipboard, metricsStore, logger, clock});
    coordinator.setRecordingToastController(&overlay);
    coordinator.setWhisperTranscriber(
        std::make_shared<WhisperTranscriber>(WhisperModelDescriptor{"openai_whisper-small", model.modelFolder()}));

    const auto dictate = [&]() -> asio::awaitable<void> {
        co_await coordinator.handle(FunctionKeyEdge::pressed);
        clock.advance(800ms);
        co_await coordinator.handle(FunctionKeyEdge::released);
    };
    asio::co_spawn(loop, dictate(), [](std::exception_ptr e) {
        if (e) {
            std::rethrow_exception(e);
        }
    });
    loop.run();

    ASSERT_EQ(inserter.inserted, std::vector<std::string>{"the cat "});
    EXPECT_FALSE(diagnostics.hasError());

    std::optional<std::map<std::string, std::string>> succeeded;
    std::vector<std::string> speechMessages;
    std::istringstream lines(testing::readFile(logger.activeLogURL()));
    for (std::string line; std::getline(lines, line);) {
        const auto json = nlohmann::json::parse(line);
        if (json.at("category") == "dictation.speech-model" || json.at("category") == "dictation.vad") {
            speechMessages.push_back(json.at("message"));
        }
        if (json.at("message") == "Speech model succeeded") {
            succeeded = json.at("metadata").get<std::map<std::string, std::string>>();
        }
    }
    EXPECT_EQ(speechMessages, (std::vector<std::string>{"VAD detector triggered", "VAD detector succeeded",
                                  "Speech model triggered", "Speech model succeeded"}));
    ASSERT_TRUE(succeeded);
    EXPECT_EQ(succeeded->at("model"), "openai_whisper-small");
    EXPECT_EQ(succeeded->at("resultCount"), "1");
    EXPECT_EQ(succeeded->at("segmentCount"), "1");
    EXPECT_TRUE(succeeded->contains("durationMilliseconds"));
    EXPECT_TRUE(succeeded->contains("dictationID"));
}

} // namespace
} // namespace hushnote
