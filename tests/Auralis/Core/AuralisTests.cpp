#include "Auralis/Core/Auralis.h"

#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/LogCapture.h"
#include "tests/Auralis/Support/ScriptedDecoding.h"
#include "tests/Support/ImportedWhisperModel.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>

namespace auralis {
namespace {

using namespace auralis::testing;
namespace fs = std::filesystem;

// A spoken-like test signal: a few tones with pauses, `seconds` long.
std::vector<float> toneBursts(double seconds)
{
    std::vector<float> samples(static_cast<std::size_t>(seconds * 16000), 0.0f);
    for (std::size_t n = 0; n < samples.size(); ++n) {
        const double t = static_cast<double>(n) / 16000.0;
        if (std::fmod(t, 1.0) < 0.6) {
            samples[n] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * (220 + 40 * std::floor(t)) * t));
        }
    }
    return samples;
}

class AuralisModel : public ::testing::Test {
protected:
    static void SetUpTestSuite() { model_ = new hushnote::testing::ImportedWhisperModel(); }
    static void TearDownTestSuite()
    {
        delete model_;
        model_ = nullptr;
    }

    static AuralisConfig localConfig()
    {
        AuralisConfig config;
        config.modelFolder = model_->modelFolder().string();
        return config;
    }

    static inline hushnote::testing::ImportedWhisperModel* model_ = nullptr;
};

TEST_F(AuralisModel, LoadsTheStagesAndTheTokenizerFromTheModelFolder)
{
    std::vector<std::pair<std::optional<ModelLoadState>, ModelLoadState>> changes;
    auto config = localConfig();
    config.load = false;
    auto engine = runAwaitable(Auralis::create(config));
    EXPECT_EQ(engine->modelState(), ModelLoadState::unloaded);
    engine->modelStateCallback = [&](std::optional<ModelLoadState> from, ModelLoadState to) { changes.emplace_back(from, to); };
    runAwaitable(engine->loadModels(false));
    EXPECT_EQ(engine->modelState(), ModelLoadState::loaded);
    ASSERT_NE(engine->tokenizer, nullptr);
    EXPECT_EQ(engine->textDecoder->tokenizer(), engine->tokenizer);
    EXPECT_TRUE(engine->textDecoder->isModelMultilingual());
    // 51865 logits and a 64-wide encoder: not a known width, so the multilingual default.
    EXPECT_EQ(engine->modelVariant, ModelVariant::base);
    EXPECT_GT(engine->currentTimings.decoderLoadTime, 0);
    EXPECT_GT(engine->currentTimings.modelLoading, 0);

    runAwaitable(engine->unloadModels());
    EXPECT_EQ(engine->modelState(), ModelLoadState::unloaded);
    EXPECT_NE(engine->tokenizer, nullptr);
    EXPECT_FALSE(engine->textDecoder->logitsSize().has_value());
    {
        LogCapture log;
        runAwaitable(engine->loadModels(false));
        EXPECT_TRUE(log.contains(LogLevel::debug, "Tokenizer already exists on Auralis, skipping load"));
    }
    using S = ModelLoadState;
    EXPECT_EQ(changes, (std::vector<std::pair<std::optional<S>, S>>{
                           {S::unloaded, S::loading}, {S::loading, S::loaded}, {S::loaded, S::unloading},
                           {S::unloading, S::unloaded}, {S::unloaded, S::loading}, {S::loading, S::loaded}}));
}

TEST_F(AuralisModel, TranscribesAnArrayWithFilledTimingsAndDeterministicTokens)
{
    auto engine = runAwaitable(Auralis::create(localConfig()));
    const auto samples = toneBursts(5.0);
    DecodingOptionsArguments arguments;
    arguments.sampleLength = 24;
    arguments.temperatureFallbackCount = 0;
    arguments.wordTimestamps = true;
    const DecodingOptions options(arguments);
    const auto first = runAwaitable(engine->transcribe(samples, options));
    ASSERT_EQ(first.size(), 1u);
    const auto snapshot = first[0]->snapshot();
    EXPECT_FALSE(snapshot.segments.empty());
    EXPECT_FALSE(snapshot.seekTime.has_value());
    EXPECT_EQ(snapshot.timings.totalEncodingRuns, 1);
    EXPECT_GT(snapshot.timings.decodingPredictions, 0);
    EXPECT_GT(snapshot.timings.totalDecodingLoops, 0);
    EXPECT_GT(snapshot.timings.fullPipeline, 0);
    EXPECT_DOUBLE_EQ(snapshot.timings.inputAudioSeconds, 5.0);
    EXPECT_EQ(snapshot.timings.totalTimestampAlignmentRuns, 1);
    for (const auto& segment : snapshot.segments) {
        EXPECT_TRUE(segment.words.has_value());
        EXPECT_EQ(segment.tokens.front() == 50258, segment.id == 0);
    }
    const auto second = runAwaitable(engine->transcribe(samples, options));
    const auto again = second[0]->snapshot();
    ASSERT_EQ(again.segments.size(), snapshot.segments.size());
    for (std::size_t i = 0; i < again.segments.size(); ++i) {
        EXPECT_EQ(again.segments[i].tokens, snapshot.segments[i].tokens);
    }
    EXPECT_EQ(again.text, snapshot.text);

    engine->clearState();
    EXPECT_EQ(engine->currentTimings.inputAudioSeconds, 0.001);
    EXPECT_EQ(engine->currentTimings.pipelineStart, std::numeric_limits<double>::max());

    // Exactly one window is never chunked, even when voice-activity chunking is asked for.
    arguments.chunkingStrategy = ChunkingStrategy::vad;
    const auto window = runAwaitable(engine->transcribe(std::vector<float>(480000, 0.0f), DecodingOptions(arguments)));
    ASSERT_EQ(window.size(), 1u);
    EXPECT_FALSE(window[0]->seekTime().has_value());

    const auto language = runAwaitable(engine->detectLangauge(samples));
    EXPECT_FALSE(language.first.empty());
    EXPECT_EQ(language.second.size(), 1u);
}

TEST_F(AuralisModel, BatchesKeepTheirOrderAndRefuseUnbalancedLists)
{
    auto engine = runAwaitable(Auralis::create(localConfig()));
    DecodingOptionsArguments arguments;
    arguments.sampleLength = 8;
    arguments.temperatureFallbackCount = 0;
    const DecodingOptions options(arguments);
    const auto unbalanced = runAwaitable(engine->transcribeWithOptions(
        {toneBursts(2), toneBursts(2), toneBursts(2)}, {options, options}));
    ASSERT_EQ(unbalanced.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(unbalanced[0]));
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(unbalanced[0]));
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.description(), "The number of audio arrays and decoding options must be balanced.");
    }
    arguments.concurrentWorkerCount = 1;
    const auto outcomes = runAwaitable(engine->transcribeWithOptions(
        {toneBursts(2), toneBursts(3)}, {DecodingOptions(arguments), DecodingOptions(arguments)}));
    ASSERT_EQ(outcomes.size(), 2u);
    const auto& first = std::get<0>(outcomes[0]);
    const auto& second = std::get<0>(outcomes[1]);
    EXPECT_DOUBLE_EQ(first[0]->timings().inputAudioSeconds, 2.0);
    EXPECT_DOUBLE_EQ(second[0]->timings().inputAudioSeconds, 3.0);
}

TEST(Auralis, CreationAndLoadingFailures)
{
    // No folder and no load request: an unloaded engine.
    const auto idle = runAwaitable(Auralis::create(AuralisConfig{}));
    EXPECT_EQ(idle->modelState(), ModelLoadState::unloaded);
    try {
        runAwaitable(idle->loadModels(false));
        ADD_FAILURE() << "loaded without a folder";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError(WhisperError::Kind::modelsUnavailable, "Model folder is not set."));
    }

    hushnote::testing::TemporaryDirectory directory;
    const auto folder = directory.path() / "model";
    fs::create_directories(folder / "MelSpectrogram.mlmodelc");
    fs::create_directories(folder / "AudioEncoder.mlpackage" / "Data" / "com.apple.CoreML" / "model.mlmodel");
    const auto locations = Auralis::modelLocations(folder);
    EXPECT_EQ(locations[0], folder / "MelSpectrogram.mlmodelc");
    EXPECT_EQ(locations[1], folder / "AudioEncoder.mlpackage" / "Data" / "com.apple.CoreML" / "model.mlmodel");
    EXPECT_EQ(locations[2], folder / "TextDecoder.mlmodelc");

    AuralisConfig config;
    config.modelFolder = folder.string();
    try {
        runAwaitable(Auralis::create(config));
        ADD_FAILURE() << "created from an incomplete folder";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError(WhisperError::Kind::modelsUnavailable,
                             "Model file not found at " + (folder / "TextDecoder.mlmodelc").string()));
    }
    config.load = false;
    auto engine = runAwaitable(Auralis::create(config));
    EXPECT_THROW(runAwaitable(engine->loadModels(false)), WhisperError);
    EXPECT_EQ(engine->modelState(), ModelLoadState::loading);

    AuralisConfig download;
    download.download = true;
    EXPECT_THROW(runAwaitable(Auralis::create(download)), WhisperError);
}

TEST(Auralis, DetectsTheVariantFromVocabularyAndEncoderWidth)
{
    struct Case {
        std::int64_t logits;
        std::int64_t encoder;
        ModelVariant expected;
    };
    const Case cases[] = {
        {51864, 384, ModelVariant::tinyEn}, {51864, 512, ModelVariant::baseEn}, {51864, 768, ModelVariant::smallEn},
        {51864, 1024, ModelVariant::mediumEn}, {51864, 1280, ModelVariant::baseEn}, {51865, 384, ModelVariant::tiny},
        {51865, 512, ModelVariant::base}, {51865, 768, ModelVariant::small}, {51865, 1024, ModelVariant::medium},
        {51865, 1280, ModelVariant::largev2}, {51865, 640, ModelVariant::base}, {51865, 100, ModelVariant::base},
        {51866, 64, ModelVariant::largev3}, {51866, 1280, ModelVariant::largev3}, {1000, 384, ModelVariant::base},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Auralis::detectVariant(c.logits, c.encoder), c.expected) << c.logits << " " << c.encoder;
    }
}

} // namespace
} // namespace auralis
