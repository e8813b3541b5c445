#include "Auralis/Core/DecodingFallback.h"
#include "Auralis/Core/DecodingOptions.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace auralis {
namespace {

    TEST(DecodingOptions, DefaultsAreTheEngineDefaults)
    {
        const DecodingOptions o;
        EXPECT_FALSE(o.verbose);
        EXPECT_EQ(o.task, DecodingTask::transcribe);
        EXPECT_FALSE(o.language.has_value());
        EXPECT_EQ(o.temperature, 0.0f);
        EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
        EXPECT_EQ(o.temperatureFallbackCount, 5);
        EXPECT_EQ(o.sampleLength, 224);
        EXPECT_EQ(o.topK, 5);
        EXPECT_TRUE(o.usePrefillPrompt);
        EXPECT_FALSE(o.detectLanguage);
        EXPECT_FALSE(o.skipSpecialTokens);
        EXPECT_FALSE(o.withoutTimestamps);
        EXPECT_FALSE(o.wordTimestamps);
        EXPECT_FALSE(o.maxInitialTimestamp.has_value());
        EXPECT_FALSE(o.maxWindowSeek.has_value());
        EXPECT_TRUE(o.clipTimestamps.empty());
        EXPECT_EQ(o.windowClipTime, 1.0f);
        EXPECT_FALSE(o.promptTokens.has_value());
        EXPECT_FALSE(o.prefixTokens.has_value());
        EXPECT_FALSE(o.suppressBlank);
        EXPECT_TRUE(o.suppressTokens.empty());
        EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
        EXPECT_EQ(o.logProbThreshold, -1.0f);
        EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
        EXPECT_EQ(o.noSpeechThreshold, 0.6f);
        EXPECT_EQ(o.concurrentWorkerCount, 16);
        EXPECT_FALSE(o.chunkingStrategy.has_value());
    }

    TEST(DecodingOptions, AbsentArgumentsResolve)
    {
        EXPECT_TRUE(DecodingOptions({ .usePrefillPrompt = false }).detectLanguage);
        EXPECT_FALSE(DecodingOptions({ .usePrefillPrompt = true }).detectLanguage);
        EXPECT_FALSE(
            DecodingOptions({ .usePrefillPrompt = false, .detectLanguage = false }).detectLanguage);
        EXPECT_TRUE(
            DecodingOptions({ .usePrefillPrompt = true, .detectLanguage = true }).detectLanguage);

        const DecodingOptions given(
            { .suppressTokens = std::vector<std::int64_t> { 1, 2 }, .concurrentWorkerCount = 3 });
        EXPECT_EQ(given.suppressTokens, (std::vector<std::int64_t> { 1, 2 }));
        EXPECT_EQ(given.concurrentWorkerCount, 3);
    }

    TEST(DecodingOptions, JsonRoundTripsWithTheFieldNames)
    {
        const DecodingOptions options({ .verbose = true,
            .task = DecodingTask::translate,
            .language = "de",
            .temperature = 0.4f,
            .maxInitialTimestamp = 1.5f,
            .maxWindowSeek = 32000,
            .clipTimestamps = { 1.0f, 2.5f },
            .promptTokens = std::vector<std::int64_t> { 5, 6 },
            .prefixTokens = std::vector<std::int64_t> { 7 },
            .suppressTokens = std::vector<std::int64_t> { 8 },
            .noSpeechThreshold = std::nullopt,
            .chunkingStrategy = ChunkingStrategy::vad });
        const nlohmann::ordered_json json = options;

        const std::vector<std::string> expectedKeys { "verbose", "task", "language", "temperature",
            "temperatureIncrementOnFallback", "temperatureFallbackCount", "sampleLength", "topK",
            "usePrefillPrompt", "detectLanguage", "skipSpecialTokens", "withoutTimestamps",
            "wordTimestamps", "maxInitialTimestamp", "maxWindowSeek", "clipTimestamps",
            "windowClipTime", "promptTokens", "prefixTokens", "suppressBlank", "suppressTokens",
            "compressionRatioThreshold", "logProbThreshold", "firstTokenLogProbThreshold",
            "concurrentWorkerCount", "chunkingStrategy" };
        std::vector<std::string> keys;
        for (const auto& [key, value] : json.items()) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys, expectedKeys); // noSpeechThreshold is absent, so it is omitted
        EXPECT_EQ(json["task"].dump(), R"({"translate":{}})");
        EXPECT_EQ(json["chunkingStrategy"], "vad");
        EXPECT_EQ(json["temperature"].dump(), "0.4");
        EXPECT_EQ(json.get<DecodingOptions>(), options);

        const nlohmann::json plain = DecodingOptions {};
        EXPECT_EQ(plain.get<DecodingOptions>(), DecodingOptions {});
        EXPECT_EQ(plain["task"].dump(), R"({"transcribe":{}})");
    }

    TEST(DecodingOptions, MissingOptionalKeysDecodeAbsentAndMissingRequiredKeysFail)
    {
        nlohmann::json json = DecodingOptions {};
        json["language"] = "en";
        json.erase("language");
        json.erase("noSpeechThreshold");
        const auto decoded = json.get<DecodingOptions>();
        EXPECT_FALSE(decoded.language.has_value());
        EXPECT_FALSE(decoded.noSpeechThreshold.has_value()); // absent, not the 0.6 default

        for (const char* required : { "temperature", "detectLanguage", "suppressTokens",
                 "concurrentWorkerCount", "task", "clipTimestamps" }) {
            SCOPED_TRACE(required);
            nlohmann::json missing = DecodingOptions {};
            missing.erase(required);
            EXPECT_THROW(missing.get<DecodingOptions>(), nlohmann::json::exception);
        }

        nlohmann::json badTask = DecodingOptions {};
        badTask["task"] = { { "summarise", nlohmann::json::object() } };
        EXPECT_THROW(badTask.get<DecodingOptions>(), nlohmann::json::exception);
        nlohmann::json badStrategy = DecodingOptions {};
        badStrategy["chunkingStrategy"] = "sometimes";
        EXPECT_THROW(badStrategy.get<DecodingOptions>(), nlohmann::json::exception);
        nlohmann::json wrongType = DecodingOptions {};
        wrongType["topK"] = "five";
        EXPECT_THROW(wrongType.get<DecodingOptions>(), nlohmann::json::exception);
    }

    TEST(DecodingOptions, EnumerationsListTheirCasesAndTexts)
    {
        EXPECT_STREQ(toString(kAllDecodingTasks[0]), "transcribe");
        EXPECT_STREQ(toString(kAllDecodingTasks[1]), "translate");
        EXPECT_STREQ(toString(kAllChunkingStrategies[0]), "none");
        EXPECT_STREQ(toString(kAllChunkingStrategies[1]), "vad");
    }

    TEST(DecodingOptions, PrepareSeekClipsPairsSamplePositions)
    {
        struct Case {
            const char* name;
            std::vector<float> clips;
            std::int64_t frames;
            std::vector<std::pair<std::int64_t, std::int64_t>> expected;
        };
        const Case cases[] = {
            { "none", {}, 160000, { { 0, 160000 } } },
            { "one start", { 1.0f }, 160000, { { 16000, 160000 } } },
            { "odd count", { 1.0f, 2.0f, 5.0f }, 160000, { { 16000, 32000 }, { 80000, 160000 } } },
            { "even count", { 0.5f, 1.5f }, 160000, { { 8000, 24000 } } },
            // 2^-8 s is exactly 62.5 samples and 3 x 2^-8 s 187.5: halves round away from zero.
            { "half samples", { 0.00390625f, 0.01171875f }, 1000, { { 63, 188 } } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(DecodingOptions({ .clipTimestamps = c.clips }).prepareSeekClips(c.frames),
                c.expected);
        }
    }

    TEST(DecodingFallback, FirstMatchingRuleDecides)
    {
        const DecodingOptions defaults;
        const DecodingOptions noThresholds({ .compressionRatioThreshold = std::nullopt,
            .logProbThreshold = std::nullopt,
            .firstTokenLogProbThreshold = std::nullopt,
            .noSpeechThreshold = std::nullopt });
        struct Case {
            const char* name;
            const DecodingOptions& options;
            bool firstTokenTooLow;
            float noSpeech, compression, avgLogProb;
            std::optional<DecodingFallback> expected;
        };
        const Case cases[] = {
            { "first token wins over compression", defaults, true, 0.0f, 3.0f, 0.0f,
                DecodingFallback { true, "firstTokenLogProbThreshold" } },
            { "silence wins over log prob", defaults, false, 0.7f, 1.0f, -2.0f,
                DecodingFallback { false, "silence" } },
            { "silence threshold is strict", defaults, false, 0.6f, 1.0f, 0.0f, std::nullopt },
            { "compression equal is no verdict", defaults, false, 0.0f, 2.4f, 0.0f, std::nullopt },
            { "compression above", defaults, false, 0.0f, 2.41f, 0.0f,
                DecodingFallback { true, "compressionRatioThreshold" } },
            { "log prob below", defaults, false, 0.0f, 1.0f, -1.01f,
                DecodingFallback { true, "logProbThreshold" } },
            { "log prob equal", defaults, false, 0.0f, 1.0f, -1.0f, std::nullopt },
            { "absent thresholds never apply", noThresholds, false, 1.0f, 100.0f, -100.0f,
                std::nullopt },
            { "too-low flag needs no threshold", noThresholds, true, 0.0f, 0.0f, 0.0f,
                DecodingFallback { true, "firstTokenLogProbThreshold" } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(DecodingFallback::make(
                          c.options, c.firstTokenTooLow, c.noSpeech, c.compression, c.avgLogProb),
                c.expected);
        }
    }

} // namespace
} // namespace auralis
