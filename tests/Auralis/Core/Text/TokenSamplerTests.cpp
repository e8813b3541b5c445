#include "Auralis/Core/Text/TokenSampler.h"

#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/ScriptedDecoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace auralis {
namespace {

using namespace auralis::testing;

DecodingOptions topK(std::int64_t k)
{
    DecodingOptionsArguments arguments;
    arguments.topK = k;
    return DecodingOptions(arguments);
}

TEST(GreedyTokenSampler, TemperatureZeroPicksTheLargestLogitWithItsLogProbability)
{
    GreedyTokenSampler sampler(runtime::Float16::fromFloat(0), kEnd, DecodingOptions{});
    const auto logits = makeLogits({{10, 1.0f}, {20, 3.0f}, {30, 2.0f}});
    const double expected = 3.0 - std::log(std::exp(1.0) + std::exp(3.0) + std::exp(2.0));
    for (int run = 0; run < 3; ++run) {
        const auto result = runAwaitable(sampler.update({kStartOfTranscript}, logits, {0.0f}));
        EXPECT_EQ(result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, 20}));
        ASSERT_EQ(result.logProbs.size(), 2u);
        EXPECT_NEAR(result.logProbs[1], expected, 1e-5);
        EXPECT_FALSE(result.completed);
    }
    const auto end = runAwaitable(sampler.update({kStartOfTranscript}, makeLogits({{kEnd, 1.0f}}), {0.0f}));
    EXPECT_TRUE(end.completed);
    EXPECT_EQ(end.tokens.back(), kEnd);
}

TEST(GreedyTokenSampler, TemperatureDrawsOnlyAmongTheTopK)
{
    // Four candidates; with k = 2 only the two most likely may come out.
    const auto logits = makeLogits({{1, 0.0f}, {2, 1.0f}, {3, 1.5f}, {4, -1.0f}});
    GreedyTokenSampler two(runtime::Float16::fromFloat(1.0f), kEnd, topK(2));
    std::set<std::int64_t> seen;
    for (int run = 0; run < 200; ++run) {
        const auto [token, logProb] = two.sample(logits);
        seen.insert(token);
        // The log-probability is that of the whole tempered distribution, not renormalised.
        const double total = std::exp(0.0) + std::exp(1.0) + std::exp(1.5) + std::exp(-1.0);
        const double value = token == 2 ? 1.0 : 1.5;
        EXPECT_NEAR(logProb, value - std::log(total), 1e-3);
    }
    EXPECT_EQ(seen, (std::set<std::int64_t>{2, 3}));

    // k = 1 at a temperature is the greedy choice.
    GreedyTokenSampler one(runtime::Float16::fromFloat(0.6f), kEnd, topK(1));
    for (int run = 0; run < 20; ++run) {
        EXPECT_EQ(one.sample(logits).first, 3);
    }
}

TEST(GreedyTokenSampler, FinalizeAppendsTheEndTokenOnce)
{
    GreedyTokenSampler sampler(runtime::Float16::fromFloat(0), kEnd, DecodingOptions{});
    auto result = sampler.finalize({kStartOfTranscript, 5, 6}, {0.0f, -0.5f, -0.25f});
    EXPECT_EQ(result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, 5, 6, kEnd}));
    EXPECT_EQ(result.logProbs, (std::vector<float>{0.0f, -0.5f, -0.25f, 0.0f}));
    EXPECT_TRUE(result.completed);
    result = sampler.finalize({kStartOfTranscript, 5, kEnd}, {0.0f, -0.5f, -0.1f});
    EXPECT_EQ(result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, 5, kEnd}));
    EXPECT_EQ(result.logProbs, (std::vector<float>{0.0f, -0.5f, -0.1f}));
}

TEST(BeamSearchTokenSampler, ValidatesItsParametersAndRefusesToSample)
{
    const BeamSearchTokenSampler valid(5, kEnd, 1.5f);
    EXPECT_EQ(valid.maxCandidates, 7);
    try {
        BeamSearchTokenSampler(2, kEnd, 0.25f);
        ADD_FAILURE() << "accepted a beam of 0 candidates";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.description(), "Invalid beam size 2 or patience 0.25");
    }
    BeamSearchTokenSampler sampler(2, kEnd);
    try {
        runAwaitable(sampler.update({}, makeLogits({}), {}));
        ADD_FAILURE() << "updated";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.description(), "Not implemented: update(tokens:logits:logProbs:)");
    }
    try {
        sampler.finalize({}, {});
        ADD_FAILURE() << "finalized";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.description(), "Not implemented: finalize(tokens:logProbs:)");
    }
}

} // namespace
} // namespace auralis
