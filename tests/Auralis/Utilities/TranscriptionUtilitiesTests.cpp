#include "Auralis/Utilities/TranscriptionUtilities.h"

#include <gtest/gtest.h>

namespace auralis {
namespace {

WordTiming word(const char* text, float start = 0)
{
    return WordTiming{text, {1}, start, start + 0.5f, 0.9f};
}

TEST(TranscriptionUtilities, FormatsAndShiftsSegments)
{
    TranscriptionSegment segment;
    segment.start = 1.005f;
    segment.end = 2.5f;
    segment.text = " Hello";
    segment.seek = 100;
    segment.words = std::vector<WordTiming>{word(" Hello", 1.0f)};
    EXPECT_EQ(TranscriptionUtilities::formatSegments({segment}, true), std::vector<std::string>{"[1.00 --> 2.50]  Hello"});
    EXPECT_EQ(TranscriptionUtilities::formatSegments({segment}, false), std::vector<std::string>{" Hello"});

    const auto shifted = TranscriptionUtilities::updateSegmentTimings(segment, 2.0f);
    EXPECT_EQ(shifted.seek, 32100);
    EXPECT_FLOAT_EQ(shifted.start, 3.005f);
    EXPECT_FLOAT_EQ(shifted.end, 4.5f);
    EXPECT_FLOAT_EQ(shifted.words->at(0).start, 3.0f);
    EXPECT_FLOAT_EQ(shifted.words->at(0).end, 3.5f);
}

TEST(TranscriptionUtilities, ComparesWordsWithoutCaseSpaceOrPunctuation)
{
    const std::vector<WordTiming> first{word(" Hello,"), word(" World"), word(" again")};
    const std::vector<WordTiming> second{word("hello"), word(" world!\n"), word(" there"), word(" now")};
    const auto prefix = TranscriptionUtilities::findLongestCommonPrefix(first, second);
    ASSERT_EQ(prefix.size(), 2u);
    EXPECT_EQ(prefix[0].word, " Hello,");
    const auto suffix = TranscriptionUtilities::findLongestDifferentSuffix(first, second);
    ASSERT_EQ(suffix.size(), 2u);
    EXPECT_EQ(suffix[0].word, " there");
}

TEST(TranscriptionUtilities, MergesResultsInOrder)
{
    TranscriptionTimings early;
    early.pipelineStart = 10;
    early.fullPipeline = 1;
    early.totalDecodingLoops = 5;
    TranscriptionTimings late;
    late.pipelineStart = 20;
    late.fullPipeline = 2;
    late.totalDecodingLoops = 7;
    TranscriptionSegment a;
    a.text = "a";
    TranscriptionSegment b;
    b.text = "b";
    const auto one = std::make_shared<TranscriptionResult>("one", std::vector{a}, "de", early);
    const auto two = std::make_shared<TranscriptionResult>("two", std::vector{b}, "fr", late);

    const auto merged = TranscriptionUtilities::mergeTranscriptionResults({one, nullptr, two});
    EXPECT_EQ(merged->text(), "one  two");
    EXPECT_EQ(merged->language(), "de");
    ASSERT_EQ(merged->segments().size(), 2u);
    EXPECT_EQ(merged->segments()[1].text, "b");
    EXPECT_EQ(merged->timings().pipelineStart, 10);
    EXPECT_EQ(merged->timings().fullPipeline, 3);
    EXPECT_EQ(merged->timings().totalDecodingLoops, 12);

    const auto confirmed = TranscriptionUtilities::mergeTranscriptionResults({one}, std::vector{word(" so"), word(" it")});
    EXPECT_EQ(confirmed->text(), " so it");
    EXPECT_EQ(TranscriptionUtilities::mergeTranscriptionResults({})->language(), "en");
}

} // namespace
} // namespace auralis
