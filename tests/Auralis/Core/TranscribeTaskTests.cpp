#include "Auralis/Core/TranscribeTask.h"

#include "Auralis/Utilities/TextUtilities.h"
#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/LogCapture.h"
#include "tests/Auralis/Support/ScriptedDecoding.h"

#include <gtest/gtest.h>

#include <mutex>

namespace auralis {
namespace {

using namespace auralis::testing;

constexpr std::int64_t kA = 10;
constexpr std::int64_t kB = 11;

ScriptedStep certain(std::int64_t token)
{
    return {{{token, 10.0f}}};
}

// Mel stage stand-in: records the windows it was given and returns a small array.
class RecordingFeatureExtractor final : public FeatureExtracting {
public:
    std::optional<int> melCount() const override { return 80; }
    std::optional<int> windowSamples() const override { return 480000; }
    asio::awaitable<std::optional<runtime::MultiArray>> logMelSpectrogram(runtime::MultiArray fromAudio) override
    {
        windows.push_back(fromAudio.clone());
        co_return runtime::MultiArray({1, 80, 1, 4}, runtime::MultiArrayDataType::float32, 0.25);
    }
    std::vector<runtime::MultiArray> windows;
};

class ScriptedAudioEncoder final : public AudioEncoding {
public:
    std::optional<int> embedSize() const override { return static_cast<int>(ScriptedTextDecoder::kEmbed); }
    asio::awaitable<std::optional<runtime::MultiArray>> encodeFeatures(runtime::MultiArray) override
    {
        co_return scriptedEncoderOutput();
    }
};

struct Task {
    explicit Task(std::vector<ScriptedStep> steps)
        : features(std::make_shared<RecordingFeatureExtractor>()),
          decoder(std::make_shared<ScriptedTextDecoder>(std::move(steps))),
          tokenizer(std::make_shared<TableTokenizer>(std::map<std::int64_t, std::string>{{kA, " A"}, {kB, " B"}})),
          task(TranscriptionTimings{}, nullptr, nullptr, std::make_shared<ScriptedAudioEncoder>(), features,
              std::make_shared<SegmentSeeker>(), decoder, tokenizer)
    {
        decoder->setTokenizer(tokenizer);
    }

    std::shared_ptr<TranscriptionResult> run(std::vector<float> audio, std::optional<DecodingOptions> options,
        TranscriptionCallback callback = {})
    {
        auto result = runAwaitable(task.run(std::move(audio), std::move(options), std::move(callback)));
        decoder->waitForProgressCallbacks();
        return result;
    }

    std::shared_ptr<RecordingFeatureExtractor> features;
    std::shared_ptr<ScriptedTextDecoder> decoder;
    std::shared_ptr<TableTokenizer> tokenizer;
    TranscribeTask task;
};

DecodingOptionsArguments plainArguments()
{
    DecodingOptionsArguments arguments;
    arguments.withoutTimestamps = true;
    return arguments;
}

// Per window: forcing sot, then " A" after the no-timestamps token, then the end.
std::vector<ScriptedStep> windowsSaying(std::int64_t token, int windows)
{
    std::vector<ScriptedStep> steps;
    for (int w = 0; w < windows; ++w) {
        steps.insert(steps.end(), {certain(kB), certain(token), certain(kEnd)});
    }
    return steps;
}

TEST(TranscribeTask, TenSecondsMakeOnePaddedWindow)
{
    Task t(windowsSaying(kA, 1));
    std::vector<float> audio(160000, 0.5f);
    const auto result = t.run(audio, DecodingOptions(plainArguments()));
    ASSERT_EQ(t.features->windows.size(), 1u);
    const auto& window = t.features->windows[0];
    EXPECT_EQ(window.shape(), std::vector<std::int64_t>{480000});
    EXPECT_EQ(window.value(159999), 0.5);
    EXPECT_EQ(window.value(160000), 0.0);
    EXPECT_EQ(result->text(), "A");
    EXPECT_EQ(result->language(), "en");
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].tokens, (std::vector<std::int64_t>{kStartOfTranscript, kNoTimestamps, kA, kEnd}));
    EXPECT_FLOAT_EQ(segments[0].end, 10.0f);
    const auto timings = result->timings();
    EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, 10.0);
    EXPECT_EQ(timings.totalAudioProcessingRuns, 1);
    EXPECT_EQ(timings.totalLogmelRuns, 1);
    EXPECT_EQ(timings.totalEncodingRuns, 1);
    EXPECT_EQ(timings.totalDecodingWindows, 1);
    EXPECT_EQ(timings.totalDecodingLoops, 3);
    EXPECT_GT(timings.fullPipeline, 0);
    EXPECT_LT(timings.firstTokenTime, TranscriptionTimings{}.firstTokenTime);
    EXPECT_EQ(t.task.progress->completedUnitCount(), 160000);
    EXPECT_EQ(t.task.progress->totalUnitCount(), 160000);
}

TEST(TranscribeTask, ClipsChooseWhereWindowsStart)
{
    {
        // A clip shorter than the window clip time is skipped.
        Task t(windowsSaying(kA, 1));
        auto arguments = plainArguments();
        arguments.clipTimestamps = {0.0f, 0.5f};
        const auto result = t.run(std::vector<float>(160000), DecodingOptions(arguments));
        EXPECT_TRUE(t.features->windows.empty());
        EXPECT_TRUE(result->segments().empty());
        EXPECT_EQ(result->text(), "");
    }
    {
        Task t(windowsSaying(kA, 2));
        auto arguments = plainArguments();
        arguments.clipTimestamps = {5.0f};
        std::vector<float> audio(960000, 0.0f);
        audio[80000] = 0.75f;
        const auto result = t.run(audio, DecodingOptions(arguments));
        EXPECT_DOUBLE_EQ(result->timings().inputAudioSeconds, 55.0);
        ASSERT_EQ(t.features->windows.size(), 2u);
        EXPECT_EQ(t.features->windows[0].value(0), 0.75);
        const auto segments = result->segments();
        ASSERT_EQ(segments.size(), 2u);
        EXPECT_EQ(segments[0].seek, 80000);
        EXPECT_EQ(segments[1].seek, 560000);
        EXPECT_EQ(segments[1].id, 1);
    }
    {
        // A clip reaching past the audio stops with it.
        Task t(windowsSaying(kA, 2));
        auto arguments = plainArguments();
        arguments.clipTimestamps = {0.0f, 100.0f};
        const auto result = t.run(std::vector<float>(160000), DecodingOptions(arguments));
        EXPECT_EQ(t.features->windows.size(), 1u);
        EXPECT_EQ(result->segments().size(), 1u);
    }
    {
        Task t(windowsSaying(kA, 3));
        auto arguments = plainArguments();
        arguments.maxWindowSeek = 16000;
        const auto result = t.run(std::vector<float>(48000), DecodingOptions(arguments));
        const auto segments = result->segments();
        ASSERT_EQ(segments.size(), 2u);
        EXPECT_EQ(segments[0].seek, 0);
        EXPECT_EQ(segments[1].seek, 16000);
    }
}

TEST(TranscribeTask, ProgressOfEachWindowCarriesItsIdentifier)
{
    Task t(windowsSaying(kA, 3));
    std::mutex mutex;
    std::vector<std::int64_t> ids;
    const auto result = t.run(std::vector<float>(1120000), DecodingOptions(plainArguments()),
        [&](const TranscriptionProgress& progress) {
            std::lock_guard lock(mutex);
            ids.push_back(progress.windowId);
            return std::optional<bool>();
        });
    EXPECT_EQ(ids, (std::vector<std::int64_t>{0, 0, 1, 1, 2, 2}));
    EXPECT_EQ(result->segments().size(), 3u);
    EXPECT_EQ(result->text(), "A A A");
}

TEST(TranscribeTask, FallsBackThroughEveryTemperatureAndKeepsTheLastAttempt)
{
    LogCapture log(LogLevel::info);
    // Eight equal candidates at every step: each attempt's first token is too unlikely.
    std::map<std::int64_t, float> spread;
    for (std::int64_t token = 0; token < 8; ++token) {
        spread[token] = 0.0f;
    }
    Task t({ScriptedStep{spread}});
    const auto result = t.run(std::vector<float>(32000), DecodingOptions(plainArguments()));
    const auto timings = result->timings();
    EXPECT_EQ(timings.totalDecodingFallbacks, 5);
    EXPECT_EQ(timings.totalDecodingWindows, 1);
    EXPECT_GT(timings.decodingFallback, 0);
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].temperature, 1.0f);
    for (int attempt = 1; attempt <= 6; ++attempt) {
        EXPECT_TRUE(log.contains(LogLevel::info, "Fallback #" + std::to_string(attempt) + " (firstTokenLogProbThreshold)"));
    }
}

TEST(TranscribeTask, FallbackTemperaturesAreComputedIn16BitFloats)
{
    // 0.2 is 0.19995117 in 16 bits; 3 x that is a tie that rounds to the even 0.59960938.
    std::vector<float> temperatures;
    for (const auto t : TranscribeTask::fallbackTemperatures(DecodingOptions{})) {
        temperatures.push_back(t.toFloat());
    }
    EXPECT_EQ(temperatures, (std::vector<float>{0.0f, 0.19995117f, 0.39990234f, 0.59960938f, 0.79980469f, 1.0f}));
}

TEST(TranscribeTask, ARepetitiveFirstAttemptIsDecodedAgainWarmer)
{
    LogCapture log(LogLevel::info);
    std::vector<ScriptedStep> steps{certain(kB)};
    steps.insert(steps.end(), 100, certain(kA));
    steps.push_back(certain(kEnd));
    steps.insert(steps.end(), {certain(kB), certain(kB), certain(kEnd)});
    Task t(steps);
    const auto result = t.run(std::vector<float>(32000), DecodingOptions(plainArguments()));
    EXPECT_TRUE(log.contains(LogLevel::info, "Fallback #1 (compressionRatioThreshold)"));
    EXPECT_FALSE(log.containsPrefix(LogLevel::info, "Fallback #2"));
    EXPECT_EQ(result->timings().totalDecodingFallbacks, 0);
    EXPECT_EQ(result->text(), "B");
    ASSERT_EQ(result->segments().size(), 1u);
    EXPECT_FLOAT_EQ(result->segments()[0].temperature, 0.2f);
}

TEST(TranscribeTask, RejectsNegativeFallbackCounts)
{
    auto arguments = plainArguments();
    arguments.temperatureFallbackCount = -1;
    Task t(windowsSaying(kA, 1));
    EXPECT_THROW(t.run(std::vector<float>(32000), DecodingOptions(arguments)), WhisperError);
}

TEST(TextUtilities, CompressionRatioSeparatesRepetitionFromText)
{
    EXPECT_LT(compressionRatio(std::vector<std::int64_t>{10, 20, 30}), 2.4f);
    EXPECT_GT(compressionRatio(std::vector<std::int64_t>(400, 1234)), 2.4f);
    // An empty list gives 0 over the length of the empty stream.
    EXPECT_EQ(compressionRatio(std::vector<std::int64_t>{}), 0.0f);
    EXPECT_TRUE(std::isinf(compressionRatio(std::string_view())));
    EXPECT_GT(compressionRatio(std::string_view("la la la la la la la la la la la la la la la la la la")), 2.4f);
    EXPECT_TRUE(std::isinf(compressionRatio(std::vector<std::int64_t>{std::int64_t{1} << 40})));
}

} // namespace
} // namespace auralis
