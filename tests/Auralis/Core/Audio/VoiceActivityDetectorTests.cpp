#include "Auralis/Core/Audio/EnergyVAD.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

namespace auralis {
namespace {

    using Range = std::pair<std::int64_t, std::int64_t>;

    TEST(EnergyVAD, OneFlagPerStartedFrame)
    {
        const EnergyVAD vad;
        EXPECT_EQ(vad.sampleRate, 16000);
        EXPECT_EQ(vad.frameLengthSamples, 1600);
        EXPECT_EQ(vad.frameOverlapSamples, 0);
        EXPECT_EQ(vad.energyThreshold, 0.02f);

        EXPECT_EQ(vad.voiceActivity(std::vector<float>(48000, 0.5f)).size(), 30u);
        std::vector<float> oneMore(48001, 0.0f);
        oneMore.back() = 0.5f;
        const auto flags = vad.voiceActivity(oneMore);
        ASSERT_EQ(flags.size(), 31u);
        EXPECT_TRUE(flags.back()); // the last frame holds just that one loud sample
        EXPECT_FALSE(flags[29]);
        EXPECT_TRUE(vad.voiceActivity({}).empty());
    }

    TEST(EnergyVAD, ThresholdIsStrict)
    {
        const EnergyVAD vad;
        struct Case {
            float amplitude;
            bool active;
        };
        for (const auto& c : { Case { 0.01f, false }, Case { 0.02f, false }, Case { 0.0201f, true },
                 Case { 0.05f, true } }) {
            SCOPED_TRACE(c.amplitude);
            const auto flags = vad.voiceActivity(std::vector<float>(3200, c.amplitude));
            EXPECT_EQ(flags, std::vector<bool>(2, c.active));
        }
    }

    TEST(EnergyVAD, SecondsBecomeSampleCounts)
    {
        const auto vad = EnergyVAD::fromSeconds(16000, 0.1f, 0.05f, 0.3f);
        EXPECT_EQ(vad.frameLengthSamples, 1600);
        EXPECT_EQ(vad.frameOverlapSamples, 800);
        EXPECT_EQ(vad.energyThreshold, 0.3f);
        EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(7), 11200);
        EXPECT_FLOAT_EQ(vad.voiceActivityIndexToSeconds(7), 0.7f);

        // The overlap lets a quiet frame hear the start of the next one.
        std::vector<float> samples(3200, 0.0f);
        std::fill(samples.begin() + 1600, samples.end(), 0.9f);
        EXPECT_EQ(vad.voiceActivity(samples), (std::vector<bool> { true, true }));
        EXPECT_EQ(EnergyVAD(16000, 1600, 0, 0.3f).voiceActivity(samples),
            (std::vector<bool> { false, true }));
    }

    TEST(VoiceActivityDetector, LongestSilenceIsTheFirstLongestRun)
    {
        struct Case {
            const char* name;
            std::vector<bool> flags;
            std::optional<Range> expected;
        };
        const Case cases[] = {
            { "tie goes to the first", { false, false, true, false, false }, Range { 0, 2 } },
            { "longer later run", { true, false, true, false, false, false, true },
                Range { 3, 6 } },
            { "run to the end", { true, true, false, false }, Range { 2, 4 } },
            { "all silent", { false, false, false }, Range { 0, 3 } },
            { "no silence", { true, true, true }, std::nullopt },
            { "empty", {}, std::nullopt },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(VoiceActivityDetector::findLongestSilence(c.flags), c.expected);
        }
    }

    TEST(VoiceActivityDetector, ActiveChunksJoinNeighbouringFrames)
    {
        const EnergyVAD vad(16000, 100, 0, 0.1f);
        std::vector<float> samples(750, 0.0f);
        std::fill(samples.begin() + 100, samples.begin() + 300, 0.5f); // frames 1 and 2
        std::fill(samples.begin() + 500, samples.begin() + 600, 0.5f); // frame 5
        samples[740] = 1.0f; // frame 7, the short last one
        EXPECT_EQ(vad.calculateActiveChunks(samples),
            (std::vector<Range> { { 100, 300 }, { 500, 600 }, { 700, 750 } }));
        EXPECT_TRUE(vad.calculateActiveChunks(std::vector<float>(750, 0.0f)).empty());
        EXPECT_EQ(vad.calculateActiveChunks(std::vector<float>(250, 0.5f)),
            (std::vector<Range> { { 0, 250 } }));
    }

    TEST(VoiceActivityDetector, AsyncGivesTheSameAnswer)
    {
        const EnergyVAD vad;
        std::vector<float> samples(16000, 0.0f);
        std::fill(samples.begin() + 4000, samples.begin() + 9000, 0.3f);
        asio::io_context loop;
        auto future = asio::co_spawn(loop, vad.voiceActivityAsync(samples), asio::use_future);
        loop.run();
        EXPECT_EQ(future.get(), vad.voiceActivity(samples));
    }

} // namespace
} // namespace auralis
