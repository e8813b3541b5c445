#include "Auralis/Core/Audio/AudioChunker.h"
#include "Auralis/Core/Audio/EnergyVAD.h"
#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/LogCapture.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

namespace auralis {
namespace {

    // "Speech": a loud alternating signal, with silent stretches where asked.
    std::vector<float> speech(
        std::int64_t samples, std::vector<std::pair<std::int64_t, std::int64_t>> pauses = {})
    {
        std::vector<float> audio(static_cast<std::size_t>(samples));
        for (std::size_t i = 0; i < audio.size(); ++i) {
            audio[i] = i % 2 ? 0.4f : -0.4f;
        }
        for (const auto& [from, to] : pauses) {
            std::fill(audio.begin() + from, audio.begin() + to, 0.0f);
        }
        return audio;
    }

    std::vector<std::pair<std::int64_t, std::size_t>> layout(const std::vector<AudioChunk>& chunks)
    {
        std::vector<std::pair<std::int64_t, std::size_t>> out;
        for (const auto& chunk : chunks) {
            out.emplace_back(chunk.seekOffsetIndex, chunk.audioSamples.size());
        }
        return out;
    }

    TEST(VADAudioChunker, CutsInTheMiddleOfThePause)
    {
        testing::LogCapture log;
        const auto audio = speech(700000, { { 392000, 408000 } });
        const VADAudioChunker chunker;
        EXPECT_EQ(chunker.windowPadding, 16000);
        const auto chunks = chunker.chunk(audio, 480000, std::nullopt);
        // The pause is frames 95..104 of the second half [240000, 480000): its middle frame is 100.
        EXPECT_EQ(layout(chunks),
            (std::vector<std::pair<std::int64_t, std::size_t>> {
                { 0, 400000 }, { 400000, 300000 } }));
        EXPECT_EQ(chunks[1].audioSamples.front(), audio[400000]);
        EXPECT_EQ(chunks[1].audioSamples.back(), audio.back());
        EXPECT_TRUE(log.contains(LogLevel::debug, "Found chunk from 0.00 to 25.00"));
        EXPECT_TRUE(log.contains(LogLevel::debug, "Found chunk from 25.00 to 43.75"));
    }

    TEST(VADAudioChunker, ChunkLayouts)
    {
        struct Case {
            const char* name;
            std::vector<float> audio;
            std::optional<DecodingOptions> options;
            std::vector<std::pair<std::int64_t, std::size_t>> expected;
        };
        const Case cases[] = {
            { "exactly one window", speech(480000), std::nullopt, { { 0, 480000 } } },
            { "shorter than a window", speech(1000), std::nullopt, { { 0, 1000 } } },
            { "no silence cuts at the window end", speech(1000000), std::nullopt,
                { { 0, 480000 }, { 480000, 480000 }, { 960000, 40000 } } },
            // After the first cut only 10000 samples remain, within the padding: they are dropped.
            { "tail within the padding", speech(490000), std::nullopt, { { 0, 480000 } } },
            { "clip region", speech(700000),
                DecodingOptions({ .clipTimestamps = { 10.0f, 20.0f } }), { { 160000, 160000 } } },
            { "clip ending past the audio", speech(700000),
                DecodingOptions({ .clipTimestamps = { 40.0f, 60.0f } }), { { 640000, 60000 } } },
            { "clip shorter than the padding", speech(700000),
                DecodingOptions({ .clipTimestamps = { 1.0f, 1.5f } }), {} },
        };
        const VADAudioChunker chunker;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(layout(chunker.chunk(c.audio, 480000, c.options)), c.expected);
        }
    }

    TEST(VADAudioChunker, ClipStartingPastTheAudioFails)
    {
        const VADAudioChunker chunker;
        try {
            chunker.chunk(
                speech(700000), 480000, DecodingOptions({ .clipTimestamps = { 44.0f, 60.0f } }));
            FAIL() << "no error";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::audioProcessingFailed);
            EXPECT_EQ(error.description(), "startIndex is outside the buffer size");
        }
    }

    TEST(VADAudioChunker, ChunkAllAwaitsTheSameCutsWithAnyDetector)
    {
        // A detector with long frames: the pause [300000, 340000) holds frames 3 and 4 of the
        // second half [240000, 480000), so the cut is frame 4's start.
        const auto vad = std::make_shared<EnergyVAD>(16000, 20000, 0, 0.02f);
        VADAudioChunker chunker(16000, vad);
        const auto audio = speech(600000, { { 300000, 340000 } });
        asio::io_context loop;
        auto future = asio::co_spawn(
            loop, chunker.chunkAll(audio, 480000, DecodingOptions {}), asio::use_future);
        loop.run();
        EXPECT_EQ(layout(future.get()),
            (std::vector<std::pair<std::int64_t, std::size_t>> {
                { 0, 320000 }, { 320000, 280000 } }));
    }

    std::shared_ptr<TranscriptionResult> resultWithSegment(float start, float end)
    {
        TranscriptionSegment segment {
            .id = 0, .seek = 0, .start = start, .end = end, .text = " hi"
        };
        segment.words = std::vector<WordTiming> { { " hi", { 1 }, start, end, 0.9f } };
        return std::make_shared<TranscriptionResult>(
            " hi", std::vector { segment }, "en", TranscriptionTimings {});
    }

    TEST(AudioChunking, MergeShiftsResultsOntoTheWholeTimeline)
    {
        testing::LogCapture log;
        const std::vector<AudioChunk> chunks { { 0, {} }, { 480000, {} }, { 960000, {} } };
        const auto first = resultWithSegment(1.0f, 2.0f);
        const auto second = resultWithSegment(0.5f, 1.5f);
        const auto third = resultWithSegment(3.0f, 4.0f);
        const std::vector<ChunkTranscription> chunked {
            std::vector { first },
            std::make_exception_ptr(WhisperError(WhisperError::Kind::transcriptionFailed, "boom")),
            std::vector { second, third },
        };
        const auto merged = AudioChunking::updateSeekOffsetsForResults(chunked, chunks);
        ASSERT_EQ(merged.size(), 3u);
        EXPECT_EQ(merged[0], first);
        EXPECT_EQ(merged[1], second);
        EXPECT_EQ(merged[2], third);
        EXPECT_EQ(first->seekTime(), 0.0f);
        EXPECT_EQ(second->seekTime(), 60.0f);

        const auto shifted = second->segments()[0];
        EXPECT_EQ(shifted.seek, 960000);
        EXPECT_FLOAT_EQ(shifted.start, 60.5f);
        EXPECT_FLOAT_EQ(shifted.end, 61.5f);
        EXPECT_FLOAT_EQ((*shifted.words)[0].start, 60.5f);
        EXPECT_FLOAT_EQ((*shifted.words)[0].end, 61.5f);
        EXPECT_FLOAT_EQ(third->segments()[0].start, 63.0f);
        EXPECT_TRUE(log.contains(LogLevel::debug, "Error transcribing chunk 1: boom"));
    }

    TEST(AudioChunking, MergingAChunkAtThirtySeconds)
    {
        const auto result = resultWithSegment(1.0f, 2.0f);
        const auto merged = AudioChunking::updateSeekOffsetsForResults(
            { std::vector { result } }, { AudioChunk { 480000, {} } });
        ASSERT_EQ(merged.size(), 1u);
        EXPECT_EQ(result->seekTime(), 30.0f);
        EXPECT_FLOAT_EQ(result->segments()[0].start, 31.0f);
        EXPECT_EQ(result->segments()[0].seek, 480000);
    }

} // namespace
} // namespace auralis
