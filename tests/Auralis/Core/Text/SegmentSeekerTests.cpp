#include "Auralis/Core/Text/SegmentSeeker.h"

#include "Auralis/Core/Constants.h"
#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/ScriptedDecoding.h"

#include <gtest/gtest.h>

#include <cmath>

namespace auralis {
namespace {

using namespace auralis::testing;

constexpr std::int64_t kA = 10;
constexpr std::int64_t kB = 11;
constexpr std::int64_t kC = 12;

const TableTokenizer& tokenizer()
{
    static const TableTokenizer table({{kA, " A"}, {kB, " B"}, {kC, " C"}});
    return table;
}

DecodingResult resultOf(std::vector<std::int64_t> tokens)
{
    DecodingResult result;
    for (const auto token : tokens) {
        result.tokenLogProbs.push_back({{token, -0.1f}});
    }
    result.tokens = std::move(tokens);
    result.avgLogProb = -0.1f;
    result.temperature = 0.2f;
    result.compressionRatio = 1.5f;
    return result;
}

auto seek(const DecodingResult& result, std::int64_t currentSeek = 0, std::int64_t segmentSize = 160000,
    const DecodingOptions& options = DecodingOptions{})
{
    SegmentSeeker seeker;
    return seeker.findSeekPointAndSegments(result, options, 3, currentSeek, segmentSize, 16000, kTimeBegin, kEnd, tokenizer());
}

const std::vector<std::int64_t> kHead{kStartOfTranscript, kEnglish, kTranscribe, kTimeBegin, kA, timestamp(1.0), timestamp(1.0)};

TEST(SegmentSeeker, SingleTimestampEndingCutsAtThePairAndSeeksToTheLastTimestamp)
{
    auto tokens = kHead;
    tokens.insert(tokens.end(), {kB, timestamp(2.5), kEnd});
    const auto [newSeek, segments] = seek(resultOf(tokens));
    EXPECT_EQ(newSeek, 40000);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), 2u);
    const auto& first = (*segments)[0];
    EXPECT_EQ(first.id, 3);
    EXPECT_EQ(first.start, 0.0f);
    EXPECT_EQ(first.end, 1.0f);
    EXPECT_EQ(first.tokens, std::vector<std::int64_t>(tokens.begin(), tokens.begin() + 6));
    EXPECT_EQ(first.tokenLogProbs.size(), 6u);
    EXPECT_EQ(first.text, "<|startoftranscript|><|en|><|transcribe|><|0.00|> A<|1.00|>");
    EXPECT_EQ(first.temperature, 0.2f);
    EXPECT_EQ(first.compressionRatio, 1.5f);
    EXPECT_FALSE(first.words.has_value());
    const auto& second = (*segments)[1];
    EXPECT_EQ(second.id, 4);
    EXPECT_EQ(second.start, 1.0f);
    EXPECT_EQ(second.end, 2.5f);
    EXPECT_EQ(second.tokens, (std::vector<std::int64_t>{timestamp(1.0), kB, timestamp(2.5)}));
}

TEST(SegmentSeeker, EndingsDecideTheLastSegmentAndTheSeek)
{
    {
        // No-timestamp ending: the last segment runs through the end token.
        auto tokens = kHead;
        tokens.insert(tokens.end(), {kB, kC, kEnd});
        DecodingOptionsArguments arguments;
        arguments.skipSpecialTokens = true;
        const auto [newSeek, segments] = seek(resultOf(tokens), 32000, 100000, DecodingOptions(arguments));
        EXPECT_EQ(newSeek, 132000);
        ASSERT_TRUE(segments);
        ASSERT_EQ(segments->size(), 2u);
        EXPECT_EQ((*segments)[1].tokens, (std::vector<std::int64_t>{timestamp(1.0), kB, kC, kEnd}));
        EXPECT_EQ((*segments)[1].start, 3.0f);
        EXPECT_EQ((*segments)[1].end, 3.0f);
        EXPECT_EQ((*segments)[1].text, " B C");
        EXPECT_EQ((*segments)[0].seek, 32000);
    }
    {
        // Neither ending: text after the pair belongs to no segment; the next window starts at it.
        auto tokens = kHead;
        tokens.insert(tokens.end(), {kB, kEnd});
        const auto [newSeek, segments] = seek(resultOf(tokens));
        EXPECT_EQ(newSeek, 16000);
        ASSERT_TRUE(segments);
        ASSERT_EQ(segments->size(), 1u);
        EXPECT_EQ((*segments)[0].end, 1.0f);
    }
}

TEST(SegmentSeeker, WithoutConsecutiveTimestampsOneSegmentCoversTheWindow)
{
    {
        const auto [newSeek, segments] = seek(resultOf({kStartOfTranscript, kTimeBegin, kA, kB, kEnd}), 16000, 80000);
        EXPECT_EQ(newSeek, 96000);
        ASSERT_TRUE(segments);
        ASSERT_EQ(segments->size(), 1u);
        EXPECT_EQ((*segments)[0].start, 1.0f);
        EXPECT_FLOAT_EQ((*segments)[0].end, 6.0f);
        EXPECT_EQ((*segments)[0].tokens.size(), 5u);
    }
    {
        const auto [newSeek, segments] = seek(resultOf({kStartOfTranscript, kTimeBegin, kA, timestamp(2.0), kB, kEnd}), 0, 80000);
        EXPECT_EQ(newSeek, 80000);
        ASSERT_TRUE(segments);
        EXPECT_FLOAT_EQ((*segments)[0].end, 2.0f);
    }
}

TEST(SegmentSeeker, SkipsSilentWindowsUnlessTheyAreLikelyEnough)
{
    auto result = resultOf({kStartOfTranscript, kTimeBegin, kA, kEnd});
    result.noSpeechProb = 0.7f;
    result.avgLogProb = -0.5f;
    EXPECT_TRUE(seek(result).second.has_value());
    result.avgLogProb = -1.5f;
    const auto [newSeek, segments] = seek(result, 1000, 5000);
    EXPECT_EQ(newSeek, 6000);
    EXPECT_FALSE(segments.has_value());
}

TEST(SegmentSeeker, DurationConstraintsAndSentenceBoundaries)
{
    SegmentSeeker seeker;
    const auto words = [](std::vector<std::pair<const char*, std::pair<float, float>>> spans) {
        std::vector<WordTiming> result;
        for (const auto& [text, span] : spans) {
            result.push_back(WordTiming{text, {1}, span.first, span.second, 0.9f});
        }
        return result;
    };
    auto [median, maximum] = seeker.calculateWordDurationConstraints(
        words({{"a", {0, 0.1f}}, {"b", {0, 0.3f}}, {"c", {0, 0.2f}}, {"d", {1, 1}}}));
    EXPECT_FLOAT_EQ(median, 0.2f);
    EXPECT_FLOAT_EQ(maximum, 0.4f);
    std::tie(median, maximum) = seeker.calculateWordDurationConstraints(words({{"a", {0, 2}}, {"b", {0, 3}}}));
    EXPECT_FLOAT_EQ(median, 0.7f);
    EXPECT_FLOAT_EQ(maximum, 1.4f);
    std::tie(median, maximum) = seeker.calculateWordDurationConstraints(words({{"a", {1, 1}}}));
    EXPECT_EQ(median, 0.0f);
    EXPECT_EQ(maximum, 0.0f);

    const auto truncated = seeker.truncateLongWordsAtSentenceBoundaries(
        words({{".", {0, 5}}, {" Hi", {0, 1}}, {".", {1, 3}}, {" So", {3, 6}}, {" .", {6, 9}}}), 0.5f);
    EXPECT_EQ(truncated[0].end, 5.0f);      // word 0 is never changed
    EXPECT_EQ(truncated[1].start, 0.5f);    // follows a mark
    EXPECT_EQ(truncated[2].end, 1.5f);      // a mark itself
    EXPECT_EQ(truncated[3].start, 5.5f);
    EXPECT_EQ(truncated[4].end, 9.0f);      // " ." with a space is no mark
}

TEST(SegmentSeeker, MinCostTiesFallThroughToLeft)
{
    SegmentSeeker seeker;
    EXPECT_EQ(seeker.minCostAndTrace(1, 1, 5, 0.5), (std::pair<double, int>{4.5, 2}));
    EXPECT_EQ(seeker.minCostAndTrace(1, 2, 3, 0), (std::pair<double, int>{1, 0}));
    EXPECT_EQ(seeker.minCostAndTrace(2, 1, 3, 0), (std::pair<double, int>{1, 1}));
}

runtime::MultiArray matrixOf(std::int64_t rows, std::int64_t columns, const std::vector<float>& values)
{
    runtime::MultiArray matrix({rows, columns}, runtime::MultiArrayDataType::float16, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        matrix.setValue(i, values[i]);
    }
    return matrix;
}

TEST(SegmentSeeker, WarpingFollowsTheHeaviestMonotonicPath)
{
    SegmentSeeker seeker;
    // Token 0 over frames 0-1, token 1 over frame 2, token 2 over frames 3-4. Equal costs
    // prefer left and up moves over the diagonal, so the path enters each row one frame early.
    const auto matrix = matrixOf(3, 5, {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 1});
    const auto [text, time] = seeker.dynamicTimeWarping(matrix);
    EXPECT_EQ(text, (std::vector<std::int64_t>{0, 0, 1, 1, 2, 2, 2}));
    EXPECT_EQ(time, (std::vector<std::int64_t>{0, 1, 1, 2, 2, 3, 4}));

    // Non-finite weights count as nothing; the path stays inside the table.
    const auto broken = matrixOf(2, 3, {NAN, INFINITY, 0, -INFINITY, 0, 1});
    const auto [brokenText, brokenTime] = seeker.dynamicTimeWarping(broken);
    ASSERT_FALSE(brokenText.empty());
    for (std::size_t k = 0; k < brokenText.size(); ++k) {
        EXPECT_GE(brokenText[k], 0);
        EXPECT_GE(brokenTime[k], 0);
    }
    EXPECT_EQ(brokenText.back(), 1);
    EXPECT_EQ(brokenTime.back(), 2);

    EXPECT_THROW(seeker.dynamicTimeWarping(runtime::MultiArray({6}, runtime::MultiArrayDataType::float16)), WhisperError);
}

TEST(SegmentSeeker, MergesPunctuationIntoNeighbouringWords)
{
    SegmentSeeker seeker;
    const auto word = [](const char* text, std::int64_t token, float start) {
        return WordTiming{text, {token}, start, start + 0.5f, 0.5f + start / 10};
    };
    const auto prepend = Constants::defaultPrependPunctuations;
    const auto append = Constants::defaultAppendPunctuations;

    auto merged = seeker.mergePunctuations({word(" (", 1, 0), word("Hello", 2, 1)}, prepend, append);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], (WordTiming{" (Hello", {1, 2}, 1, 1.5f, 0.6f}));

    merged = seeker.mergePunctuations({word(" Hello", 1, 0), word(",", 2, 1)}, prepend, append);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], (WordTiming{" Hello,", {1, 2}, 0, 0.5f, 0.5f}));

    merged = seeker.mergePunctuations({word("Hello", 1, 0), word(",", 2, 1), word("\"", 3, 2)}, prepend, append);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], (WordTiming{"Hello,\"", {1, 2, 3}, 0, 0.5f, 0.5f}));

    merged = seeker.mergePunctuations({word(" Hi", 1, 0), word(" (", 2, 1), word("there", 3, 2)}, prepend, append);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[1].word, " (there");
    EXPECT_EQ(merged[1].start, 2.0f);

    EXPECT_TRUE(seeker.mergePunctuations({}, prepend, append).empty());
}

TEST(SegmentSeeker, AddsWordTimingsFromTheAlignmentWeights)
{
    SegmentSeeker seeker;
    // Window at 1 s: segment tokens sot, 0.00, A, B, 1.00, end; row k of the weights belongs
    // to token k, and token k's weight sits in frame 10 * k.
    const std::vector<std::int64_t> tokens{kStartOfTranscript, kTimeBegin, kA, kB, timestamp(1.0), kEnd};
    const auto [newSeek, segments] = seek(resultOf(tokens), 16000, 80000);
    ASSERT_TRUE(segments);
    runtime::MultiArray weights({224, 60}, runtime::MultiArrayDataType::float16, 0);
    for (std::int64_t k = 0; k < 6; ++k) {
        weights.setValue(static_cast<std::size_t>(k * 60 + k * 10), 1);
    }
    const auto timed = seeker.addWordTimestamps(segments, weights, tokenizer(), 16000, 80000,
        Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations, 1.0f, DecodingOptions{}, {});
    ASSERT_TRUE(timed);
    ASSERT_EQ(timed->size(), 1u);
    const auto& words = *(*timed)[0].words;
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].word, " A");
    EXPECT_EQ(words[0].tokens, std::vector<std::int64_t>{kA});
    EXPECT_FLOAT_EQ(words[0].start, 1.2f);
    EXPECT_FLOAT_EQ(words[0].end, 1.4f);
    EXPECT_FLOAT_EQ(words[1].start, 1.4f);
    EXPECT_FLOAT_EQ(words[1].end, 1.6f);
    EXPECT_FLOAT_EQ(words[0].probability, 0.9f);
    // The segment takes the words' span.
    EXPECT_FLOAT_EQ((*timed)[0].start, 1.2f);
    EXPECT_FLOAT_EQ((*timed)[0].end, 1.6f);

    // No segments: returned as they are.
    const auto none = seeker.addWordTimestamps(std::vector<TranscriptionSegment>{}, weights, tokenizer(), 0, 0,
        Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations, 0, DecodingOptions{}, {});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_THROW(seeker.addWordTimestamps(segments, runtime::MultiArray(), tokenizer(), 0, 0, "", "", 0, DecodingOptions{}, {}),
        WhisperError);
}

TEST(SegmentSeeker, ASingleWordGivesEmptyWordLists)
{
    SegmentSeeker seeker;
    const auto [newSeek, segments] = seek(resultOf({kA}), 0, 16000);
    runtime::MultiArray weights({4, 8}, runtime::MultiArrayDataType::float16, 0.5);
    const auto timed = seeker.addWordTimestamps(segments, weights, tokenizer(), 0, 16000,
        Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations, 0, DecodingOptions{}, {});
    ASSERT_TRUE(timed);
    ASSERT_EQ(timed->size(), 1u);
    ASSERT_TRUE((*timed)[0].words);
    EXPECT_TRUE((*timed)[0].words->empty());
    EXPECT_EQ((*timed)[0].start, (*segments)[0].start);
}

} // namespace
} // namespace auralis
