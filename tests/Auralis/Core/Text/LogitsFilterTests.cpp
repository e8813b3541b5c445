#include "Auralis/Core/Text/LogitsFilter.h"

#include "Auralis/Core/TextDecoder.h"
#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/ScriptedDecoding.h"

#include <gtest/gtest.h>

#include <cmath>

namespace auralis {
namespace {

using namespace auralis::testing;

bool isForbidden(const runtime::MultiArray& logits, std::int64_t token)
{
    return std::isinf(logits.value(static_cast<std::size_t>(token))) && logits.value(static_cast<std::size_t>(token)) < 0;
}

// Logits of 0 everywhere.
runtime::MultiArray flatLogits()
{
    return runtime::MultiArray({1, 1, kVocabularySize}, runtime::MultiArrayDataType::float16, 0);
}

TEST(LogitsFilters, ChainFollowsTheOptions)
{
    ScriptedTextDecoder decoder({});
    decoder.setIsModelMultilingual(true);
    const TableTokenizer tokenizer;

    DecodingOptionsArguments suppress;
    suppress.suppressTokens = std::vector<std::int64_t>{220, 50257, 50359};
    suppress.suppressBlank = true;
    auto filters = decoder.createLogitsFilters(DecodingOptions(suppress), 0, 4, tokenizer);
    ASSERT_EQ(filters.size(), 3u);
    EXPECT_NE(dynamic_cast<SuppressBlankFilter*>(filters[0].get()), nullptr);
    const auto* tokens = dynamic_cast<SuppressTokensFilter*>(filters[1].get());
    ASSERT_NE(tokens, nullptr);
    EXPECT_EQ(tokens->suppressTokens, std::vector<std::int64_t>{220});
    const auto* rules = dynamic_cast<TimestampRulesFilter*>(filters[2].get());
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(rules->sampleBegin, 4);
    EXPECT_TRUE(rules->isModelMultilingual);
    EXPECT_FALSE(rules->maxInitialTimestampIndex.has_value());

    DecodingOptionsArguments plain;
    plain.withoutTimestamps = true;
    EXPECT_TRUE(decoder.createLogitsFilters(DecodingOptions(plain), 0, 1, tokenizer).empty());

    const std::pair<float, std::int64_t> indexes[] = {{1.0f, 50}, {0.03f, 1}, {0.0f, 0}, {30.0f, 1500}};
    for (const auto& [seconds, index] : indexes) {
        DecodingOptionsArguments initial;
        initial.maxInitialTimestamp = seconds;
        filters = decoder.createLogitsFilters(DecodingOptions(initial), 0, 1, tokenizer);
        const auto* timestampRules = dynamic_cast<TimestampRulesFilter*>(filters.back().get());
        ASSERT_NE(timestampRules, nullptr);
        EXPECT_EQ(timestampRules->maxInitialTimestampIndex, index) << seconds;
    }
    for (const float invalid : {-0.5f, 30.5f, INFINITY, NAN}) {
        DecodingOptionsArguments initial;
        initial.maxInitialTimestamp = invalid;
        EXPECT_THROW(decoder.createLogitsFilters(DecodingOptions(initial), 0, 1, tokenizer), WhisperError) << invalid;
    }

    // Configured extra filters come first.
    auto extra = std::make_shared<SuppressTokensFilter>(std::vector<std::int64_t>{5});
    decoder.setLogitsFilters({extra});
    filters = decoder.createLogitsFilters(DecodingOptions(plain), 0, 1, tokenizer);
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0], extra);
}

TEST(LogitsFilters, SuppressionBlankAndLanguageFilters)
{
    auto logits = SuppressTokensFilter({3, 7}).filterLogits(flatLogits(), {});
    EXPECT_TRUE(isForbidden(logits, 3));
    EXPECT_TRUE(isForbidden(logits, 7));
    EXPECT_FALSE(isForbidden(logits, 4));

    SuppressBlankFilter blank(SpecialTokens{}, 2);
    logits = blank.filterLogits(flatLogits(), {kStartOfTranscript});
    EXPECT_FALSE(isForbidden(logits, 220));
    logits = blank.filterLogits(flatLogits(), {kStartOfTranscript, kEnglish});
    EXPECT_TRUE(isForbidden(logits, 220));
    EXPECT_TRUE(isForbidden(logits, kEnd));

    LanguageLogitsFilter language({kEnglish, kGerman}, kVocabularySize, 1);
    EXPECT_EQ(language.nonLanguageTokenIndexes.size(), static_cast<std::size_t>(kVocabularySize - 2));
    logits = language.filterLogits(flatLogits(), {kStartOfTranscript});
    EXPECT_FALSE(isForbidden(logits, kEnglish));
    EXPECT_FALSE(isForbidden(logits, kGerman));
    EXPECT_TRUE(isForbidden(logits, 100));
    EXPECT_TRUE(isForbidden(logits, kTimeBegin));
}

TEST(TimestampRulesFilter, SampleBeginNeedsTheTaskTokenOnMultilingualModels)
{
    TimestampRulesFilter four(SpecialTokens{}, 4, std::nullopt, true);
    EXPECT_EQ(four.sampleBeginFor({kStartOfTranscript, kEnglish, kTranscribe}), 4);
    TimestampRulesFilter three(SpecialTokens{}, 3, std::nullopt, true);
    EXPECT_EQ(three.sampleBeginFor({kStartOfTranscript, kEnglish, kTranslate}), 3);
    EXPECT_FALSE(three.sampleBeginFor({kStartOfTranscript, kEnglish}).has_value());
    TimestampRulesFilter english(SpecialTokens{}, 2, std::nullopt, false);
    EXPECT_EQ(english.sampleBeginFor({}), 2);

    // Three tokens with sample begin 4: nothing changes.
    auto logits = four.filterLogits(flatLogits(), {kStartOfTranscript, kEnglish, kTranscribe});
    EXPECT_FALSE(isForbidden(logits, kNoTimestamps));
    // With sample begin 3 only the no-timestamps token and the probability rule apply; the
    // 1501 timestamps at 0 outweigh any single text token, so text is forbidden.
    logits = three.filterLogits(flatLogits(), {kStartOfTranscript, kEnglish, kTranscribe});
    EXPECT_TRUE(isForbidden(logits, kNoTimestamps));
    EXPECT_TRUE(isForbidden(logits, 100));
    EXPECT_FALSE(isForbidden(logits, kTimeBegin));
}

TEST(TimestampRulesFilter, KeepsTimestampsPairedAndIncreasing)
{
    const std::vector<std::int64_t> prompt{kStartOfTranscript, kEnglish, kTranscribe, kTimeBegin};
    TimestampRulesFilter rules(SpecialTokens{}, 4, std::nullopt, true);
    // Text logits favoured, so the probability rule stays out of the way.
    const auto textFavoured = [] { return makeLogits([] {
        std::map<std::int64_t, float> values;
        for (std::int64_t t = 0; t < kVocabularySize; ++t) {
            values[t] = t < kTimeBegin ? 5.0f : -5.0f;
        }
        return values;
    }()); };

    struct Case {
        const char* name;
        std::vector<std::int64_t> sampled;
        std::vector<std::int64_t> forbidden;
        std::vector<std::int64_t> allowed;
    };
    const auto t100 = timestamp(1.00);
    const Case cases[] = {
        {"text then a timestamp closes a segment", {timestamp(0.40), 300, t100}, {0, 300, kEnd - 1, timestamp(0.98)},
            {kEnd, t100, timestamp(1.02)}},
        {"two timestamps in a row forbid every timestamp", {300, t100, t100}, {kTimeBegin, t100, kVocabularySize - 1},
            {300, kEnd}},
        {"a single sampled timestamp must be followed by text", {t100}, {kTimeBegin, t100}, {300, kEnd}},
        {"after text the next timestamp must grow", {t100, 300}, {kTimeBegin, t100}, {timestamp(1.02), 300}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto tokens = prompt;
        tokens.insert(tokens.end(), c.sampled.begin(), c.sampled.end());
        const auto logits = rules.filterLogits(textFavoured(), tokens);
        EXPECT_TRUE(isForbidden(logits, kNoTimestamps));
        for (const auto token : c.forbidden) {
            EXPECT_TRUE(isForbidden(logits, token)) << token;
        }
        for (const auto token : c.allowed) {
            EXPECT_FALSE(isForbidden(logits, token)) << token;
        }
    }
}

TEST(TimestampRulesFilter, ProbabilityRuleComparesTheTimestampMassWithTheBestTextToken)
{
    TimestampRulesFilter rules(SpecialTokens{}, 1, std::nullopt, false);
    // One text token at 3 against 1501 timestamps at 0: log(1501) = 7.3 > 3.
    EXPECT_TRUE(rules.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(makeLogits([] {
        std::map<std::int64_t, float> values{{100, 3.0f}};
        for (auto t = kTimeBegin; t < kVocabularySize; ++t) {
            values[t] = 0.0f;
        }
        return values;
    }())));
    // A text token at 8 wins.
    EXPECT_FALSE(rules.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(makeLogits([] {
        std::map<std::int64_t, float> values{{100, 8.0f}};
        for (auto t = kTimeBegin; t < kVocabularySize; ++t) {
            values[t] = 0.0f;
        }
        return values;
    }())));
    // Nothing finite: the rule does not apply.
    EXPECT_FALSE(rules.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(makeLogits({})));
}

} // namespace
} // namespace auralis
