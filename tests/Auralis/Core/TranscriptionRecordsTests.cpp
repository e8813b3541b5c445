#include "Auralis/Core/DecodingResult.h"
#include "Auralis/Core/ModelVariant.h"
#include "Auralis/Core/TranscriptionProgress.h"
#include "Auralis/Core/TranscriptionResult.h"
#include "Auralis/Core/TranscriptionTimings.h"
#include "Auralis/Utilities/Rounding.h"
#include "tests/Auralis/Support/LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <thread>
#include <unordered_set>

namespace auralis {
namespace {

    TranscriptionSegment sampleSegment(std::int64_t id, bool withWords)
    {
        TranscriptionSegment segment { .id = id,
            .seek = 32000,
            .start = 2.0f,
            .end = 3.5f,
            .text = " Hello world.",
            .tokens = { 2425, 1002, 13 },
            .tokenLogProbs = { { { 2425, -0.25f } }, { { 1002, -0.5f } }, { { 13, -0.125f } } },
            .temperature = 0.2f,
            .avgLogprob = -0.3f,
            .compressionRatio = 1.25f,
            .noSpeechProb = 0.01f };
        if (withWords) {
            segment.words = std::vector<WordTiming> { { " Hello", { 2425 }, 2.0f, 2.5f, 0.9f },
                { " world.", { 1002, 13 }, 2.5f, 3.5f, 0.8f } };
        }
        return segment;
    }

    TEST(Rounding, HalvesGoAwayFromZero)
    {
        struct Case {
            double value;
            int places;
            double expected;
        };
        const Case cases[] = { { 0.125, 2, 0.13 }, { -0.125, 2, -0.13 }, { 2.5, 0, 3.0 },
            { -2.5, 0, -3.0 }, { 1.0625, 3, 1.063 }, { 0.124, 2, 0.12 }, { 3.0, 2, 3.0 } };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.value);
            EXPECT_DOUBLE_EQ(roundedToDecimalPlaces(c.value, c.places), c.expected);
            EXPECT_FLOAT_EQ(roundedToDecimalPlaces(static_cast<float>(c.value), c.places),
                static_cast<float>(c.expected));
        }
    }

    TEST(TranscriptionTimings, InitialValuesAndDerivedFigures)
    {
        const TranscriptionTimings fresh;
        EXPECT_EQ(fresh.pipelineStart, std::numeric_limits<double>::max());
        EXPECT_EQ(fresh.firstTokenTime, std::numeric_limits<double>::max());
        EXPECT_EQ(fresh.inputAudioSeconds, 0.001);
        for (std::size_t i = 3; i < TranscriptionTimings::fields.size(); ++i) {
            SCOPED_TRACE(TranscriptionTimings::fields[i].first);
            EXPECT_EQ(fresh.*TranscriptionTimings::fields[i].second, 0.0);
        }
        EXPECT_EQ(fresh.realTimeFactor(), 0.0);
        EXPECT_TRUE(std::isnan(fresh.tokensPerSecond())); // 0 / 0

        TranscriptionTimings t { .totalDecodingLoops = 50, .fullPipeline = 2.0 };
        t.inputAudioSeconds = 10.0;
        EXPECT_DOUBLE_EQ(t.tokensPerSecond(), 25.0);
        EXPECT_DOUBLE_EQ(t.realTimeFactor(), 0.2);
        EXPECT_DOUBLE_EQ(t.speedFactor(), 5.0);
    }

    TEST(TranscriptionTimings, JsonHasTheThirtyThreeFieldNames)
    {
        TranscriptionTimings t { .modelLoading = 1.5, .decodingLoop = 0.75, .fullPipeline = 3.0 };
        t.pipelineStart = 100.0;
        const nlohmann::ordered_json json = t;
        ASSERT_EQ(json.size(), 33u);
        std::size_t index = 0;
        for (const auto& [key, value] : json.items()) {
            EXPECT_EQ(key, TranscriptionTimings::fields[index++].first);
        }
        EXPECT_EQ(json.begin().key(), "pipelineStart");
        EXPECT_EQ(json["modelLoading"], 1.5);
        EXPECT_EQ(json.get<TranscriptionTimings>(), t);

        nlohmann::json missing = t;
        missing.erase("decodingKvCaching");
        EXPECT_THROW(missing.get<TranscriptionTimings>(), nlohmann::json::exception);
    }

    TEST(TranscriptionTimings, AbsoluteTimeCountsFromTheReferenceDate)
    {
        // 2024-01-01T00:00:00Z is 725846400 s after 2001-01-01T00:00:00Z.
        EXPECT_GT(currentAbsoluteTime(), 725846400.0);
        EXPECT_LT(currentAbsoluteTime(), 725846400.0 + 100.0 * 365 * 86400);
    }

    TEST(TranscriptionSegment, DerivedDurationEqualityAndHash)
    {
        const auto a = sampleSegment(0, true);
        auto b = a;
        EXPECT_FLOAT_EQ(a.duration(), 1.5f);
        EXPECT_FLOAT_EQ((*a.words)[1].duration(), 1.0f);
        EXPECT_EQ(a, b);
        EXPECT_EQ(std::hash<TranscriptionSegment> {}(a), std::hash<TranscriptionSegment> {}(b));
        b.words->at(0).probability = 0.5f;
        EXPECT_NE(a, b);
        std::unordered_set<TranscriptionSegment> set { a, b, sampleSegment(0, false) };
        EXPECT_EQ(set.size(), 3u);
        std::unordered_set<WordTiming> words { a.words->begin(), a.words->end() };
        EXPECT_EQ(words.size(), 2u);
    }

    TEST(TranscriptionSegment, JsonKeysInOrderWithDecimalTokenKeys)
    {
        const auto segment = sampleSegment(4, true);
        const nlohmann::ordered_json json = segment;
        std::vector<std::string> keys;
        for (const auto& [key, value] : json.items()) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys,
            (std::vector<std::string> { "id", "seek", "start", "end", "text", "tokens",
                "tokenLogProbs", "temperature", "avgLogprob", "compressionRatio", "noSpeechProb",
                "words" }));
        EXPECT_EQ(json["tokenLogProbs"][1].dump(), R"({"1002":-0.5})");
        EXPECT_EQ(json["temperature"].dump(), "0.2");
        EXPECT_EQ(json["words"][0].dump(),
            R"({"word":" Hello","tokens":[2425],"start":2.0,"end":2.5,"probability":0.9})");
        EXPECT_EQ(json.get<TranscriptionSegment>(), segment);

        const nlohmann::json withoutWords = sampleSegment(1, false);
        EXPECT_FALSE(withoutWords.contains("words"));
        EXPECT_EQ(withoutWords.get<TranscriptionSegment>(), sampleSegment(1, false));

        nlohmann::json badKey = segment;
        badKey["tokenLogProbs"][0] = { { "12x", -1.0 } };
        EXPECT_THROW(badKey.get<TranscriptionSegment>(), nlohmann::json::exception);
    }

    TEST(DecodingResult, EmptyResultsHasNothing)
    {
        const auto empty = DecodingResult::emptyResults();
        EXPECT_TRUE(empty.text.empty());
        EXPECT_TRUE(empty.language.empty());
        EXPECT_TRUE(empty.languageProbs.empty());
        EXPECT_TRUE(empty.tokens.empty());
        EXPECT_TRUE(empty.tokenLogProbs.empty());
        EXPECT_EQ(empty.avgLogProb, 0.0f);
        EXPECT_EQ(empty.noSpeechProb, 0.0f);
        EXPECT_EQ(empty.temperature, 0.0f);
        EXPECT_EQ(empty.compressionRatio, 0.0f);
        EXPECT_FALSE(empty.timings.has_value());
        EXPECT_FALSE(empty.fallback.has_value());
    }

    TEST(TranscriptionResult, AllWordsSkipsSegmentsWithoutWords)
    {
        TranscriptionResult none("x", { sampleSegment(0, false) }, "en", {});
        EXPECT_TRUE(none.allWords().empty());

        TranscriptionResult mixed("x",
            { sampleSegment(0, true), sampleSegment(1, false), sampleSegment(2, true) }, "en", {});
        const auto words = mixed.allWords();
        ASSERT_EQ(words.size(), 4u);
        EXPECT_EQ(words[0].word, " Hello");
        EXPECT_EQ(words[3].word, " world.");
    }

    TEST(TranscriptionResult, JsonMatchesThePlainStruct)
    {
        const TranscriptionResultStruct value { " Hello world.", { sampleSegment(0, true) }, "en",
            TranscriptionTimings { .fullPipeline = 1.0 }, 30.0f };
        const auto shared = std::make_shared<TranscriptionResult>(value);
        const nlohmann::ordered_json json = *shared;
        std::vector<std::string> keys;
        for (const auto& [key, v] : json.items()) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys,
            (std::vector<std::string> { "text", "segments", "language", "timings", "seekTime" }));
        EXPECT_EQ(json, nlohmann::ordered_json(value));
        EXPECT_EQ(transcriptionResultFromJson(json)->snapshot(), value);

        nlohmann::json noSeek = value;
        noSeek.erase("seekTime");
        EXPECT_FALSE(noSeek.get<TranscriptionResultStruct>().seekTime.has_value());
        noSeek.erase("language");
        EXPECT_THROW(noSeek.get<TranscriptionResultStruct>(), nlohmann::json::exception);
    }

    TEST(TranscriptionResult, PropertiesAreSharedAndNeverTorn)
    {
        auto result = std::make_shared<TranscriptionResult>(
            "", std::vector<TranscriptionSegment> {}, "en", TranscriptionTimings {});
        const std::string a(4096, 'a');
        const std::string b(4096, 'b');
        std::atomic<bool> torn { false };
        std::thread writer([&] {
            for (int i = 0; i < 2000; ++i) {
                result->setText(i % 2 ? a : b);
                result->updateSegments(
                    [i](auto& segments) { segments.assign(i % 3, sampleSegment(i, false)); });
            }
        });
        std::thread reader([&] {
            for (int i = 0; i < 2000; ++i) {
                const auto text = result->text();
                if (!text.empty() && text != a && text != b) {
                    torn = true;
                }
                const auto segments = result->segments();
                for (const auto& segment : segments) {
                    if (segment.id != segments.front().id) {
                        torn = true;
                    }
                }
            }
        });
        writer.join();
        reader.join();
        EXPECT_FALSE(torn.load());
        EXPECT_EQ(result->text(), a); // the last write (i = 1999) wins
        EXPECT_EQ(result->segments().size(), 1999u % 3);
    }

    TEST(TranscriptionResult, LogSegmentsWritesOneDebugLinePerSegment)
    {
        testing::LogCapture log;
        TranscriptionResult result(
            "x", { sampleSegment(0, false), sampleSegment(1, false) }, "en", {});
        result.logSegments();
        EXPECT_TRUE(log.contains(LogLevel::debug, "[Segment 0] [2.00 --> 3.50]  Hello world."));
        EXPECT_TRUE(log.contains(LogLevel::debug, "[Segment 1] [2.00 --> 3.50]  Hello world."));
    }

    TEST(TranscriptionResult, TimingsReportHasBothBlocks)
    {
        TranscriptionTimings t { .audioLoading = 0.5,
            .logmels = 0.1,
            .totalDecodingLoops = 10,
            .totalDecodingWindows = 1,
            .fullPipeline = 2.0 };
        t.inputAudioSeconds = 4.0;
        TranscriptionResult result("x", { sampleSegment(0, false) }, "en", t);
        const auto report = result.timingsReport();
        EXPECT_TRUE(report.starts_with("---- Transcription Timings ----\n"));
        EXPECT_NE(report.find("Audio Load:              500.00 ms"), std::string::npos) << report;
        EXPECT_NE(report.find("\n" + std::string(31, '-') + "\n"), std::string::npos);
        auto line = [](std::string label, const std::string& value) {
            label.resize(31, ' ');
            return "\n" + label + value + "\n";
        };
        EXPECT_NE(report.find(line("Total Tokens:", "3")), std::string::npos) << report;
        EXPECT_NE(report.find(line("Tokens per Second:", "5.00 tok/s")), std::string::npos)
            << report;
        EXPECT_NE(report.find(line("Real Time Factor:", "0.500")), std::string::npos) << report;
        EXPECT_NE(report.find(line("Speed Factor:", "2.000")), std::string::npos) << report;

        testing::LogCapture log(LogLevel::info);
        result.logTimings();
        EXPECT_TRUE(log.contains(LogLevel::info, report));
    }

    TEST(TranscriptionProgress, StatesAndVariantsHaveTheirTexts)
    {
        EXPECT_STREQ(toString(TranscriptionState::convertingAudio), "Converting Audio");
        EXPECT_STREQ(toString(TranscriptionState::transcribing), "Transcribing");
        EXPECT_STREQ(toString(TranscriptionState::finished), "Finished");
        std::vector<std::string> multilingual;
        for (const auto variant : kAllModelVariants) {
            if (isMultilingual(variant)) {
                multilingual.push_back(toString(variant));
            }
        }
        EXPECT_EQ(multilingual,
            (std::vector<std::string> {
                "tiny", "base", "small", "medium", "large", "large-v2", "large-v3" }));
        EXPECT_STREQ(toString(ModelVariant::smallEn), "small.en");
    }

} // namespace
} // namespace auralis
