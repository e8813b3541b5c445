#include "Auralis/Core/Audio/AudioFileError.h"
#include "Auralis/Core/Audio/AudioProcessor.h"
#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/AudioFixtures.h"
#include "tests/Auralis/Support/LogCapture.h"
#include "tests/Support/TemporaryDirectory.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace auralis {
namespace {

    using hushnote::testing::TemporaryDirectory;
    using testing::LogCapture;
    using testing::writeAudioFile;
    using testing::writeWav16;

    float peakOf(const std::vector<float>& samples)
    {
        float peak = 0;
        for (const float s : samples) {
            peak = std::max(peak, std::fabs(s));
        }
        return peak;
    }

    // Largest deviation from an ideal sine over [from, to), where resampler edges do not count.
    double maxDeviationFromSine(const std::vector<float>& samples, std::size_t from, std::size_t to,
        double frequency, double amplitude, double phase = 0.0)
    {
        double worst = 0;
        for (std::size_t i = from; i < to; ++i) {
            const double ideal = amplitude
                * std::sin(
                    2.0 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0 + phase);
            worst = std::max(worst, std::fabs(samples[i] - ideal));
        }
        return worst;
    }

    template <typename F> WhisperError captureWhisperError(F&& f)
    {
        try {
            f();
        } catch (const WhisperError& error) {
            return error;
        }
        ADD_FAILURE() << "no WhisperError thrown";
        return WhisperError(WhisperError::Kind::initializationError, "");
    }

    class AudioProcessorTest : public ::testing::Test {
    protected:
        std::filesystem::path file(const char* name) const { return directory_.path() / name; }

        TemporaryDirectory directory_;
    };

    TEST_F(AudioProcessorTest, MissingFileFailsBeforeOpening)
    {
        const auto path = file("nothing-here.wav");
        const auto expected = "Resource path does not exist " + path.string();
        for (const auto& error :
            { captureWhisperError([&] { AudioProcessor::loadAudioAsFloatArray(path); }),
                captureWhisperError([&] { AudioProcessor::loadAudio(path); }) }) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
            EXPECT_EQ(error.description(), expected);
        }
    }

    TEST_F(AudioProcessorTest, SixteenKilohertzMonoIsReadWithoutConversion)
    {
        std::vector<std::int16_t> samples(16000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
        }
        writeWav16(file("a.wav"), 16000, 1, samples);
        const auto loaded = AudioProcessor::loadAudioAsFloatArray(file("a.wav"));
        ASSERT_EQ(loaded.size(), samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(loaded[i], samples[i] / 32768.0f) << "sample " << i;
        }
    }

    TEST_F(AudioProcessorTest, EverySampleEncodingIsReadAsFloats)
    {
        struct Case {
            const char* name;
            int format;
            double tolerance;
        };
        const Case cases[] = {
            { "8-bit unsigned WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1.0 / 64 },
            { "16-bit WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1e-4 },
            { "24-bit WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1e-6 },
            { "32-bit WAV", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 1e-6 },
            { "float WAV", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.0 },
            { "double WAV", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 0.0 },
            { "16-bit FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1e-4 },
            { "16-bit AIFF", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1e-4 },
        };
        const auto signal = testing::sine(8000, 16000, 440, 0.8);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const auto path = file("encoded.audio");
            writeAudioFile(path, 16000, 1, c.format, signal);
            const auto loaded = AudioProcessor::loadAudioAsFloatArray(path);
            ASSERT_EQ(loaded.size(), signal.size());
            double worst = 0;
            for (std::size_t i = 0; i < signal.size(); ++i) {
                worst = std::max(worst, static_cast<double>(std::fabs(loaded[i] - signal[i])));
            }
            EXPECT_LE(worst, c.tolerance);
        }
    }

    TEST_F(AudioProcessorTest, OtherRatesAreResampledToSixteenKilohertz)
    {
        struct Case {
            int rate;
            int format;
        };
        const Case cases[] = { { 8000, SF_FORMAT_WAV | SF_FORMAT_PCM_16 },
            { 22050, SF_FORMAT_WAV | SF_FORMAT_FLOAT }, { 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24 },
            { 48000, SF_FORMAT_WAV | SF_FORMAT_FLOAT },
            { 96000, SF_FORMAT_WAV | SF_FORMAT_PCM_24 } };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.rate);
            const auto path = file("rate.wav");
            writeAudioFile(path, c.rate, 1, c.format, testing::sine(c.rate, c.rate, 440, 0.5));
            const auto loaded = AudioProcessor::loadAudioAsFloatArray(path);
            ASSERT_EQ(loaded.size(), 16000u); // one second
            EXPECT_LT(maxDeviationFromSine(loaded, 200, 15800, 440, 0.5), 2e-3);
        }
    }

    TEST_F(AudioProcessorTest, SmallReadBlocksResampleEachBlockOnItsOwn)
    {
        LogCapture log;
        writeAudioFile(file("b.wav"), 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
            testing::sine(48000, 48000, 300, 0.5));
        const auto buffer = AudioProcessor::loadAudio(
            file("b.wav"), ChannelMode::sumChannels(), std::nullopt, std::nullopt, 12000);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->format(), AudioFormat::standard(16000, 1));
        EXPECT_EQ(buffer->frameLength(), 16000u);
        for (const char* line : { "Resampling 1.00 seconds of audio", "Resampling 0.00s - 0.25s",
                 "Resampling 0.75s - 1.00s" }) {
            EXPECT_TRUE(log.contains(LogLevel::debug, line)) << line;
        }
        EXPECT_TRUE(log.containsPrefix(LogLevel::debug,
            "Audio source details - Sample Rate: 48000.0 Hz, Channel Count: 1, Frame Length: "
            "48000, Duration: 1.0s"));
        EXPECT_TRUE(
            log.containsPrefix(LogLevel::debug, "Audio buffer details - Sample Rate: 16000.0 Hz"));
        EXPECT_TRUE(
            log.containsPrefix(LogLevel::debug, "After loadAudio function - Memory used: "));
        // Away from the block edges the signal is intact.
        const std::vector<float> samples(
            buffer->floatChannelData(0).begin(), buffer->floatChannelData(0).end());
        EXPECT_LT(maxDeviationFromSine(samples, 1000, 3000, 300, 0.5), 2e-3);
        EXPECT_LT(maxDeviationFromSine(samples, 5000, 7000, 300, 0.5), 2e-3);
    }

    TEST_F(AudioProcessorTest, ChannelModesFoldSixChannels)
    {
        std::vector<std::vector<float>> channels;
        for (int c = 0; c < 6; ++c) {
            channels.push_back(testing::sine(48000, 48000, 200.0 + 100.0 * c, 0.1 + 0.1 * c));
        }
        writeAudioFile(file("six.wav"), 48000, 6, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
            testing::interleave(channels));

        const auto third = AudioProcessor::loadAudioAsFloatArray(
            file("six.wav"), ChannelMode::specificChannel(3));
        ASSERT_EQ(third.size(), 16000u);
        EXPECT_LT(maxDeviationFromSine(third, 200, 15800, 500, 0.4), 2e-3);

        const auto outOfRange = AudioProcessor::loadAudioAsFloatArray(
            file("six.wav"), ChannelMode::specificChannel(9));
        EXPECT_LT(maxDeviationFromSine(outOfRange, 200, 15800, 200, 0.1), 2e-3);

        // Summing all six rescales the mix to the loudest channel's peak (0.6).
        const auto all = AudioProcessor::loadAudioAsFloatArray(file("six.wav"));
        EXPECT_NEAR(peakOf(all), 0.6f, 0.01f);

        // Channels 1 and 1 again and 4: the repeated index counts twice.
        const auto picked = AudioProcessor::loadAudioAsFloatArray(
            file("six.wav"), ChannelMode::sumChannels({ { 1, 1, 4 } }));
        const auto ratioAt = [&](std::size_t i) { return picked[i]; };
        std::vector<float> mix(16000);
        float mixPeak = 0;
        for (std::size_t i = 0; i < mix.size(); ++i) {
            const double t = static_cast<double>(i) / 16000.0;
            mix[i] = static_cast<float>(2 * 0.2 * std::sin(2 * std::numbers::pi * 300 * t)
                + 0.5 * std::sin(2 * std::numbers::pi * 600 * t));
            mixPeak = std::max(mixPeak, std::fabs(mix[i]));
        }
        const float scale = 0.5f / mixPeak;
        double worst = 0;
        for (std::size_t i = 200; i < 15800; ++i) {
            worst = std::max(worst, static_cast<double>(std::fabs(ratioAt(i) - mix[i] * scale)));
        }
        EXPECT_LT(worst, 5e-3);
    }

    TEST_F(AudioProcessorTest, StereoFoldingEdgeCases)
    {
        const auto left = testing::sine(16000, 16000, 250, 0.5);
        const auto right = testing::sine(16000, 16000, 410, 0.25);
        writeAudioFile(file("stereo.wav"), 16000, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
            testing::interleave({ left, right }));
        EXPECT_NEAR(peakOf(AudioProcessor::loadAudioAsFloatArray(file("stereo.wav"))), 0.5f, 1e-3f);

        LogCapture log;
        const auto defaulted = AudioProcessor::loadAudioAsFloatArray(
            file("stereo.wav"), ChannelMode::sumChannels({ { 5 } }));
        EXPECT_TRUE(log.contains(
            LogLevel::debug, "No valid channel indices provided, defaulting to first channel"));
        const auto seventh = AudioProcessor::loadAudioAsFloatArray(
            file("stereo.wav"), ChannelMode::specificChannel(7));
        ASSERT_EQ(defaulted.size(), left.size());
        ASSERT_EQ(seventh.size(), left.size());
        for (std::size_t i = 0; i < left.size(); ++i) {
            ASSERT_FLOAT_EQ(defaulted[i], left[i]) << i;
            ASSERT_FLOAT_EQ(seventh[i], left[i]) << i;
        }

        writeAudioFile(file("silent.wav"), 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
            std::vector<float>(88200, 0.0f));
        const auto silent = AudioProcessor::loadAudioAsFloatArray(file("silent.wav"));
        EXPECT_EQ(silent.size(), 16000u);
        EXPECT_EQ(peakOf(silent), 0.0f);
    }

    TEST_F(AudioProcessorTest, TimeRangesAreClampedAndEmptyRangesAreEmpty)
    {
        std::vector<std::int16_t> samples(32000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(i % 20000);
        }
        writeWav16(file("two.wav"), 16000, 1, samples);
        const auto slice = AudioProcessor::loadAudioAsFloatArray(file("two.wav"), {}, 0.5, 0.75);
        ASSERT_EQ(slice.size(), 4000u);
        EXPECT_EQ(slice.front(), samples[8000] / 32768.0f);
        EXPECT_EQ(slice.back(), samples[11999] / 32768.0f);

        EXPECT_EQ(
            AudioProcessor::loadAudioAsFloatArray(file("two.wav"), {}, 1.5, 10.0).size(), 8000u);
        EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(file("two.wav"), {}, 2.0).empty());
        EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(file("two.wav"), {}, 5.0, 6.0).empty());
        EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(file("two.wav"), {}, 1.0, 1.0).empty());
        // The buffer loader with a start past the end gives an empty buffer, not a failure.
        EXPECT_EQ(
            AudioProcessor::loadAudio(file("two.wav"), {}, 5.0, std::nullopt)->frameLength(), 0u);
        EXPECT_EQ(AudioProcessor::loadAudio(file("two.wav"), {}, 1.0, 0.5)->frameLength(), 0u);
    }

    TEST_F(AudioProcessorTest, BrokenAndForeignFilesFailOrYieldWhatTheyHold)
    {
        // Zero bytes, or not audio at all: the reader refuses to open them.
        hushnote::testing::writeFile(file("empty.wav"), "");
        hushnote::testing::writeFile(file("text.wav"), "this is not a RIFF file, just words\n");
        hushnote::testing::writeFile(file("noise.bin"), std::string(4096, '\x5a'));
        for (const char* name : { "empty.wav", "text.wav", "noise.bin" }) {
            SCOPED_TRACE(name);
            try {
                AudioProcessor::loadAudioAsFloatArray(file(name));
                ADD_FAILURE() << "opened";
            } catch (const AudioFileError& error) {
                EXPECT_EQ(error.kind(), AudioFileError::Kind::openFailed);
                EXPECT_NE(error.description().find(file(name).string()), std::string::npos);
            }
        }

        // A header without any frames.
        writeWav16(file("header-only.wav"), 16000, 1, {});
        EXPECT_EQ(std::filesystem::file_size(file("header-only.wav")), 44u);
        EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(file("header-only.wav")).empty());
        writeAudioFile(
            file("header-only-stereo.wav"), 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, {});
        EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(file("header-only-stereo.wav")).empty());
    }

    TEST_F(AudioProcessorTest, TruncatedFilesYieldTheFramesThatExist)
    {
        std::vector<std::int16_t> samples(16000);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<std::int16_t>(i);
        }
        writeWav16(file("cut.wav"), 16000, 1, samples);
        // 1000 whole samples and half of the next.
        std::filesystem::resize_file(file("cut.wav"), 44 + 2001);
        const auto direct = AudioProcessor::loadAudioAsFloatArray(file("cut.wav"));
        ASSERT_EQ(direct.size(), 1000u);
        EXPECT_EQ(direct.back(), 999 / 32768.0f);

        writeAudioFile(file("cut-stereo.wav"), 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
            testing::interleave(
                { testing::sine(48000, 48000, 440, 0.5), testing::sine(48000, 48000, 440, 0.5) }));
        std::filesystem::resize_file(file("cut-stereo.wav"), 44 + 24000 * 4 + 3);
        const auto resampled = AudioProcessor::loadAudioAsFloatArray(file("cut-stereo.wav"));
        EXPECT_EQ(resampled.size(), 8000u);
        EXPECT_LT(maxDeviationFromSine(resampled, 200, 7800, 440, 0.5), 2e-3);
    }

    TEST_F(AudioProcessorTest, HeaderPromisingMoreFramesThanExistEndsAtTheData)
    {
        struct Case {
            const char* name;
            int rate;
            int channels;
            std::size_t expected;
        };
        const Case cases[] = { { "direct", 16000, 1, 8000 }, { "resampled", 44100, 2, 8000 } };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<std::vector<float>> channels(
                c.channels, testing::sine(c.rate / 2, c.rate, 300, 0.5));
            const auto path = file("liar.wav");
            writeAudioFile(path, c.rate, c.channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                testing::interleave(channels));
            testing::patchUint32(path, testing::wavDataSizeOffset(path), 0x7ffffff0u);
            testing::patchUint32(path, 4, 0x7ffffff0u + 36);
            const auto loaded = AudioProcessor::loadAudioAsFloatArray(path);
            EXPECT_EQ(loaded.size(), c.expected);
            EXPECT_LT(maxDeviationFromSine(loaded, 200, c.expected - 200, 300, 0.5), 2e-3);
        }
    }

    TEST_F(AudioProcessorTest, TwentyMinutesLoadInBoundedSteps)
    {
        // 8 kHz, 8-bit: the whole file is 9.6 MB but 19.2 million samples come out.
        constexpr std::int64_t rate = 8000;
        constexpr std::int64_t frames = 20 * 60 * rate;
        const auto path = file("long.wav");
        {
            SF_INFO info {};
            info.samplerate = rate;
            info.channels = 1;
            info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
            SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
            ASSERT_NE(out, nullptr);
            std::vector<float> block(rate);
            for (std::int64_t second = 0; second < frames / rate; ++second) {
                for (std::int64_t i = 0; i < rate; ++i) {
                    block[i] = static_cast<float>(0.5
                        * std::sin(2 * std::numbers::pi * 50.0 * static_cast<double>(i) / rate));
                }
                ASSERT_EQ(sf_writef_float(out, block.data(), rate), rate);
            }
            sf_close(out);
        }

        AudioPCMBuffer::resetPeakSampleBytes();
        const auto baseline = AudioPCMBuffer::liveSampleBytes();
        const auto loaded = AudioProcessor::loadAudioAsFloatArray(path);
        const auto peak = AudioPCMBuffer::peakSampleBytes() - baseline;

        ASSERT_EQ(loaded.size(), static_cast<std::size_t>(20 * 60 * 16000));
        // One 600 s step's output, one read block and its resampled block, never more.
        const std::size_t stepBytes = 600 * 16000 * sizeof(float);
        const std::size_t blockBytes = (1323000 + 2646000) * sizeof(float);
        EXPECT_LE(peak, stepBytes + blockBytes);
        EXPECT_GE(peak, stepBytes);
        EXPECT_EQ(AudioPCMBuffer::liveSampleBytes(), baseline);

        // No gap or overlap: the 50 Hz phase holds in every step, right after each step boundary.
        for (const std::size_t at : { std::size_t { 1000 }, std::size_t { 9600000 + 2000 },
                 std::size_t { 19200000 - 3000 } }) {
            SCOPED_TRACE(at);
            EXPECT_LT(maxDeviationFromSine(loaded, at, at + 640, 50, 0.5), 0.02);
        }
    }

    TEST_F(AudioProcessorTest, LoadsManyPathsConcurrentlyInPathOrder)
    {
        writeAudioFile(file("one.wav"), 16000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
            std::vector<float>(100, 0.25f));
        writeAudioFile(file("three.wav"), 32000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
            std::vector<float>(6400, 0.0f));
        asio::thread_pool pool(2);
        asio::io_context loop;
        auto future = asio::co_spawn(loop,
            AudioProcessor::loadAudio({ file("one.wav"), file("two.wav"), file("three.wav") },
                ChannelMode(), pool.get_executor()),
            asio::use_future);
        loop.run();
        const auto results = future.get();
        ASSERT_EQ(results.size(), 3u);
        EXPECT_EQ(std::get<std::vector<float>>(results[0]), std::vector<float>(100, 0.25f));
        ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(results[1]));
        EXPECT_EQ(hushnote::describeError(std::get<std::exception_ptr>(results[1])).description,
            "Resource path does not exist " + file("two.wav").string());
        EXPECT_EQ(std::get<std::vector<float>>(results[2]).size(), 3200u);
    }

    TEST(AudioProcessor, PadOrTrimCutsOneWindow)
    {
        LogCapture log;
        const std::vector<float> audio { 1, 2, 3, 4, 5 };
        EXPECT_EQ(AudioProcessor::padOrTrimAudio(audio, 1, 3), (std::vector<float> { 2, 3, 4 }));
        EXPECT_EQ(
            AudioProcessor::padOrTrimAudio(audio, 3, 6), (std::vector<float> { 4, 5, 0, 0, 0, 0 }));
        EXPECT_EQ(AudioProcessor::padOrTrimAudio(audio, 0, 5, true), audio);
        EXPECT_FALSE(AudioProcessor::padOrTrimAudio(audio, 5, 3).has_value());
        EXPECT_FALSE(AudioProcessor::padOrTrimAudio(audio, -1, 3).has_value());
        EXPECT_FALSE(AudioProcessor::padOrTrimAudio({}, 0, 3).has_value());
        EXPECT_TRUE(log.contains(LogLevel::error, "startIndex is outside the buffer size"));
        const auto window = AudioProcessor().padOrTrim(std::vector<float>(1000, 0.5f), 10, 480000);
        ASSERT_TRUE(window.has_value());
        EXPECT_EQ(window->size(), 480000u);
        EXPECT_EQ((*window)[989], 0.5f);
        EXPECT_EQ((*window)[990], 0.0f);
    }

    TEST(AudioProcessor, EnergyMeasures)
    {
        const std::vector<float> signal { 0.5f, -0.5f, 0.1f, -0.3f };
        const auto energy = AudioProcessor::calculateEnergy(signal);
        EXPECT_FLOAT_EQ(energy.avg, std::sqrt((0.25f + 0.25f + 0.01f + 0.09f) / 4));
        EXPECT_FLOAT_EQ(energy.max, 0.5f);
        EXPECT_FLOAT_EQ(energy.min, 0.1f);
        EXPECT_FLOAT_EQ(AudioProcessor::calculateAverageEnergy(signal), energy.avg);

        const auto fullScale = testing::sine(16000, 16000, 440, 1.0);
        EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(fullScale, std::nullopt), 1.0f, 0.06f);
        EXPECT_EQ(
            AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 0.0f), std::nullopt),
            0.0f);
        // -20 dB against a -40 dB reference is halfway to full scale.
        EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 0.1f), 0.01f),
            0.5f, 1e-5f);
        EXPECT_EQ(
            AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 0.001f), 0.01f), 0.0f);

        // Disjoint frames without overlap; the last frame is the short remainder.
        std::vector<float> steps(25, 0.0f);
        std::fill(steps.begin() + 10, steps.begin() + 20, 0.5f);
        steps[24] = 0.9f;
        EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(steps, 3, 10, 0, 0.1f),
            (std::vector<bool> { false, true, true }));
        // With overlap the first frame reaches into the loud one.
        EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(steps, 3, 10, 5, 0.1f),
            (std::vector<bool> { true, true, true }));
        // Frames past the end count as silent rather than reading outside the signal.
        EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(steps, 5, 10, 0, 0.1f),
            (std::vector<bool> { false, true, true, false, false }));
        EXPECT_TRUE(AudioProcessor::calculateEnergy({}) == SignalEnergy {});
    }

    TEST(AudioProcessor, NonSilentChunksAndVoiceDetection)
    {
        std::vector<float> audio(16000, 0.0f);
        std::fill(audio.begin() + 3200, audio.begin() + 6400, 0.5f);
        std::fill(audio.begin() + 15000, audio.end(), 0.5f);
        using Range = std::pair<std::int64_t, std::int64_t>;
        EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(audio),
            (std::vector<Range> { { 3200, 6400 }, { 14400, 16000 } }));

        std::vector<float> energies(30, 0.0f);
        energies[25] = 0.9f;
        // 2 s = 20 values: the last 20 minus their last 10 are checked.
        EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.5f));
        energies[15] = 0.9f;
        EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.5f));
        // 1 s = 10 values: all ten are checked.
        EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 1.0f, 0.5f));
        EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 0.0f, 0.5f));
        EXPECT_FALSE(AudioProcessor::isVoiceDetected({}, 3.0f, 0.5f));
    }

    TEST(AudioProcessor, BufferHelpers)
    {
        LogCapture log;
        const auto mono = AudioFormat::standard(16000, 1);
        auto source = AudioPCMBuffer::create(mono, 8);
        ASSERT_NE(source, nullptr);
        for (std::uint32_t i = 0; i < 8; ++i) {
            source->floatChannelData(0)[i] = static_cast<float>(i + 1);
        }
        source->setFrameLength(6);

        auto target = AudioPCMBuffer::create(mono, 4);
        EXPECT_FALSE(target->appendContents(*source, 4, 3));
        EXPECT_TRUE(log.contains(LogLevel::error, "Insufficient audio in buffer"));
        EXPECT_TRUE(target->appendContents(*source, 1, 5));
        EXPECT_TRUE(log.contains(
            LogLevel::debug, "Insufficient space in buffer, reducing frame count to fit"));
        EXPECT_EQ(target->frameLength(), 4u);
        EXPECT_EQ(std::vector<float>(
                      target->floatChannelData(0).begin(), target->floatChannelData(0).end()),
            (std::vector<float> { 2, 3, 4, 5 }));
        const auto other = AudioPCMBuffer::create(AudioFormat::standard(8000, 1), 4);
        EXPECT_FALSE(target->appendContents(*other, 0, 0));
        EXPECT_TRUE(log.contains(LogLevel::debug, "Format mismatch"));

        const auto moved = AudioProcessor::convertBufferToArray(*source, 4);
        EXPECT_EQ(moved, (std::vector<float> { 1, 2, 3, 4, 5, 6 }));
        EXPECT_EQ(source->floatChannelData(0)[5], 0.0f); // copied samples are zeroed
        EXPECT_EQ(source->floatChannelData(0)[6], 7.0f); // beyond the frame length untouched

        EXPECT_EQ(AudioPCMBuffer::create(AudioFormat::standard(0, 1), 4), nullptr);
        EXPECT_EQ(AudioPCMBuffer::create(AudioFormat::standard(16000, 0), 4), nullptr);

        // 10 frames at 44.1 kHz become 3.628... frames at 16 kHz: rounded to 4.
        auto odd = AudioPCMBuffer::create(AudioFormat::standard(44100, 1), 10);
        odd->setFrameLength(10);
        const auto converted = AudioProcessor::resampleAudio(*odd, 16000, 1);
        ASSERT_NE(converted, nullptr);
        EXPECT_EQ(converted->frameCapacity(), 4u);
        EXPECT_TRUE(
            log.containsPrefix(LogLevel::debug, "Rounding buffer frame capacity from 3.628"));
        // Three channels cannot become two.
        auto three = AudioPCMBuffer::create(AudioFormat::standard(16000, 3), 10);
        EXPECT_EQ(AudioProcessor::resampleAudio(*three, 16000, 2), nullptr);
        EXPECT_TRUE(log.contains(LogLevel::error, "Failed to create audio converter"));
        EXPECT_EQ(AudioProcessor::resampleAudio(*odd, 0, 1), nullptr);
        EXPECT_TRUE(log.contains(LogLevel::error, "Failed to create output audio format"));
    }

    TEST(AudioProcessor, LiveCaptureIsRefusedClearly)
    {
        AudioProcessor processor;
        for (const auto& attempt : std::vector<std::function<void()>> {
                 [&] { processor.startRecordingLive(std::nullopt, {}); },
                 [&] { processor.startStreamingRecordingLive(7u); },
                 [&] { processor.resumeRecordingLive(std::nullopt, {}); } }) {
            const auto error = captureWhisperError(attempt);
            EXPECT_EQ(error.kind(), WhisperError::Kind::microphoneUnavailable);
            EXPECT_EQ(error.description(),
                "Live microphone capture is not supported by the engine's audio processor");
        }
        processor.pauseRecording();
        processor.stopRecording();
        EXPECT_TRUE(processor.audioSamples().empty());
        EXPECT_TRUE(processor.relativeEnergy().empty());
        processor.purgeAudioSamples(0);
        processor.setRelativeEnergyWindow(5);
        EXPECT_EQ(processor.relativeEnergyWindow(), 5);
    }

    TEST(AudioProcessor, ChannelModeJson)
    {
        struct Case {
            ChannelMode mode;
            const char* json;
        };
        const Case cases[]
            = { { ChannelMode::specificChannel(2), R"({"specificChannel":{"_0":2}})" },
                  { ChannelMode::sumChannels(std::vector<std::int64_t> { 0, 3 }),
                      R"({"sumChannels":{"_0":[0,3]}})" },
                  { ChannelMode::sumChannels(), R"({"sumChannels":{}})" } };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.json);
            EXPECT_EQ(nlohmann::json(c.mode).dump(), c.json);
            EXPECT_EQ(nlohmann::json::parse(c.json).get<ChannelMode>(), c.mode);
        }
        EXPECT_EQ(
            nlohmann::json(AudioInputConfig {}).dump(), R"({"channelMode":{"sumChannels":{}}})");
        EXPECT_THROW(nlohmann::json::parse(R"({"loudest":{}})").get<ChannelMode>(),
            nlohmann::json::exception);
    }

} // namespace
} // namespace auralis
