#include "HushnoteCore/WhisperTranscriber.h"

#include "Auralis/Core/DecodingOptions.h"
#include "Auralis/Core/Text/BPETokenizer.h"
#include "HushnoteCore/WhisperModelResolver.h"
#include "HushnoteCore/WhisperTranscriberError.h"
#include "tests/Support/ScriptedWhisperModel.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WhisperCheckpoint.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace hushnote {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedWhisperModel;

template <typename T>
T await(asio::awaitable<T> operation)
{
    asio::io_context context;
    auto future = asio::co_spawn(context, std::move(operation), asio::use_future);
    context.run();
    return future.get();
}

void makeStageFolders(const fs::path& folder, std::vector<std::string> names = {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc", "MelSpectrogram.mlmodelc"})
{
    for (const auto& name : names) {
        fs::create_directories(folder / name);
    }
}

std::vector<float> tone(std::size_t samples, float amplitude)
{
    std::vector<float> out(samples);
    for (std::size_t n = 0; n < samples; ++n) {
        out[n] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * static_cast<double>(n) / 16000));
    }
    return out;
}

// " the cat" in the generated checkpoint's tokenizer.
std::vector<std::int64_t> theCat()
{
    return auralis::BPETokenizer::fromJson(testing::whisperTestTokenizerJson(51865))->encode(" the cat");
}

struct Recorded {
    std::vector<TranscriptionDiagnosticEvent> events;
    TranscriptionDiagnostics sink()
    {
        return [this](const TranscriptionDiagnosticEvent& event) { events.push_back(event); };
    }
};

TEST(WhisperModelResolver, PrefersTheManagedFolderAndSkipsInvalidCandidates)
{
    testing::TemporaryDirectory directory;
    const auto managed = directory.path() / "managed";
    const auto configured = directory.path() / "configured";
    makeStageFolders(configured);
    makeStageFolders(managed, {"AudioEncoder.mlmodelc", "MelSpectrogram.mlmodelc"});

    EXPECT_EQ(WhisperModelResolver::resolve(managed, configured.string()),
        (WhisperModelLocation{configured, WhisperModelLocation::Source::configured}));
    EXPECT_EQ(WhisperModelResolver::resolve(managed, std::string()), std::nullopt);
    EXPECT_EQ(WhisperModelResolver::resolve(managed, std::nullopt), std::nullopt);
    makeStageFolders(managed);
    EXPECT_EQ(WhisperModelResolver::resolve(managed, configured.string()),
        (WhisperModelLocation{managed, WhisperModelLocation::Source::managed}));
    EXPECT_EQ(toString(WhisperModelLocation::Source::configured), "configured");
}

TEST(WhisperTranscriber, CreationValidatesTheFolderButBuildsNoEngine)
{
    testing::TemporaryDirectory directory;
    try {
        WhisperTranscriber transcriber({"openai_whisper-small", directory.path() / "missing"});
        ADD_FAILURE() << "accepted a missing folder";
    } catch (const WhisperTranscriberError& error) {
        EXPECT_EQ(error, WhisperTranscriberError::modelPathMissing());
    }
    makeStageFolders(directory.path(), {"AudioEncoder.mlmodelc", "MelSpectrogram.mlmodelc"});
    try {
        WhisperTranscriber transcriber({"openai_whisper-small", directory.path()});
        ADD_FAILURE() << "accepted a folder without a decoder";
    } catch (const WhisperTranscriberError& error) {
        EXPECT_EQ(error, WhisperTranscriberError::requiredModelFileMissing("TextDecoder.mlmodelc"));
    }

    // Stage folders without models validate; the engine fails only when it is created, with no event.
    makeStageFolders(directory.path());
    WhisperTranscriber transcriber({"openai_whisper-small", directory.path()});
    Recorded recorded;
    const auto recording = directory.path() / "take.wav";
    testing::writeWav16kMono(recording, tone(1600, 0.1f));
    EXPECT_ANY_THROW(await(transcriber.transcribe(recording, recorded.sink())));
    EXPECT_TRUE(recorded.events.empty());
    // A missing recording fails before any engine work.
    try {
        await(transcriber.transcribe(directory.path() / "gone.wav", recorded.sink()));
        ADD_FAILURE() << "transcribed a missing file";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_TRUE(recorded.events.empty());
}

TEST(WhisperTranscriber, TranscribesARecordingAndReportsEachStage)
{
    const ScriptedWhisperModel model(ScriptedWhisperModel::englishTranscript(theCat(), 2.0));
    WhisperTranscriber transcriber({"openai_whisper-small", model.modelFolder()});
    await(transcriber.warmup());
    testing::TemporaryDirectory directory;

    struct Case {
        const char* name;
        std::vector<float> samples;
        std::map<std::string, std::string> vad;
    };
    const Case cases[] = {
        {"3.2 s of tone", tone(51200, 0.3f),
            {{"detector", "Auralis.EnergyVAD"}, {"audioDurationMilliseconds", "3200"}, {"frameCount", "32"},
                {"activeFrameCount", "32"}, {"speechDetected", "true"}}},
        {"silence still runs the speech model", std::vector<float>(51201, 0.0f),
            {{"detector", "Auralis.EnergyVAD"}, {"audioDurationMilliseconds", "3200"}, {"frameCount", "33"},
                {"activeFrameCount", "0"}, {"speechDetected", "false"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto recording = directory.path() / "take.wav";
        testing::writeWav16kMono(recording, c.samples);
        Recorded recorded;
        const auto result = await(transcriber.transcribe(recording, recorded.sink()));
        EXPECT_EQ(result, (TranscriptResult{"the cat", "openai_whisper-small"}));

        ASSERT_EQ(recorded.events.size(), 4u);
        using Stage = TranscriptionDiagnosticStage;
        using Status = TranscriptionDiagnosticStatus;
        EXPECT_EQ(recorded.events[0], (TranscriptionDiagnosticEvent{Stage::vad, Status::triggered, {{"detector", "Auralis.EnergyVAD"}}}));
        auto vad = recorded.events[1];
        EXPECT_EQ(vad.stage, Stage::vad);
        EXPECT_EQ(vad.status, Status::succeeded);
        EXPECT_TRUE(vad.metadata.contains("durationMilliseconds"));
        vad.metadata.erase("durationMilliseconds");
        EXPECT_EQ(vad.metadata, c.vad);
        EXPECT_EQ(recorded.events[2], (TranscriptionDiagnosticEvent{Stage::speechModel, Status::triggered, {{"model", "openai_whisper-small"}}}));
        auto speech = recorded.events[3];
        EXPECT_EQ(speech.status, Status::succeeded);
        ASSERT_TRUE(speech.metadata.contains("durationMilliseconds"));
        EXPECT_NE(speech.metadata.at("durationMilliseconds").find('.'), std::string::npos);
        speech.metadata.erase("durationMilliseconds");
        EXPECT_EQ(speech.metadata, (std::map<std::string, std::string>{{"model", "openai_whisper-small"}, {"resultCount", "1"}, {"segmentCount", "1"}}));
    }
}

TEST(WhisperTranscriber, AnEmptyTranscriptIsAFailure)
{
    const ScriptedWhisperModel model(ScriptedWhisperModel::englishTranscript({}, 1.0));
    WhisperTranscriber transcriber({"openai_whisper-small", model.modelFolder()});
    testing::TemporaryDirectory directory;
    const auto recording = directory.path() / "take.wav";
    testing::writeWav16kMono(recording, tone(16000, 0.3f));
    Recorded recorded;
    try {
        await(transcriber.transcribe(recording, recorded.sink()));
        ADD_FAILURE() << "returned an empty transcript";
    } catch (const WhisperTranscriberError& error) {
        EXPECT_EQ(error, WhisperTranscriberError::emptyTranscript());
    }
    ASSERT_EQ(recorded.events.size(), 4u);
    const auto& failed = recorded.events[3];
    EXPECT_EQ(failed.stage, TranscriptionDiagnosticStage::speechModel);
    EXPECT_EQ(failed.status, TranscriptionDiagnosticStatus::failed);
    EXPECT_EQ(failed.metadata.at("errorType"), "HushnoteCore.WhisperTranscriberError");
    EXPECT_EQ(failed.metadata.at("errorCode"), "3");
    EXPECT_EQ(failed.metadata.at("errorDescription"), "Whisper returned an empty transcript");
    EXPECT_FALSE(failed.metadata.at("stackTrace").empty());
    EXPECT_TRUE(failed.metadata.contains("durationMilliseconds"));
}

TEST(WhisperTranscriber, UsesTheFixedDecodingSettings)
{
    const auto options = WhisperTranscriber::decodingOptions();
    EXPECT_TRUE(options.skipSpecialTokens);
    EXPECT_TRUE(options.usePrefillPrompt);
    EXPECT_FALSE(options.detectLanguage);
    EXPECT_FALSE(options.language.has_value());
    EXPECT_EQ(options.sampleLength, 224);
    EXPECT_EQ(options.topK, 5);
    EXPECT_EQ(options.chunkingStrategy, auralis::ChunkingStrategy::none);
    EXPECT_EQ(options.concurrentWorkerCount, 16);
    EXPECT_EQ(options.firstTokenLogProbThreshold, -1.5f);
}

} // namespace
} // namespace hushnote
