#pragma once

#include "Auralis/Core/Audio/AudioConverter.h"
#include "Auralis/Core/Audio/AudioFile.h"
#include "Auralis/Core/Audio/AudioPCMBuffer.h"
#include "Foundation/Async.h"

#include <asio/awaitable.hpp>
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

namespace auralis {

// How a multi-channel source becomes mono.
class ChannelMode {
public:
    enum class Kind { specificChannel, sumChannels };

    // sumChannels over all channels, the mode used when none is configured.
    ChannelMode()
        : ChannelMode(Kind::sumChannels, 0, std::nullopt)
    {
    }

    // Take the channel with this zero-based index (channel 0 when out of range).
    static ChannelMode specificChannel(std::int64_t channel)
    {
        return { Kind::specificChannel, channel, {} };
    }
    // Sum the listed zero-based channels (all when absent or empty), then rescale so the sum
    // peaks as high as the loudest used channel.
    static ChannelMode sumChannels(std::optional<std::vector<std::int64_t>> channels = std::nullopt)
    {
        return { Kind::sumChannels, 0, std::move(channels) };
    }

    Kind kind() const { return kind_; }
    // The payload of specificChannel.
    std::int64_t channel() const { return channel_; }
    // The payload of sumChannels.
    const std::optional<std::vector<std::int64_t>>& channels() const { return channels_; }

    bool operator==(const ChannelMode&) const = default;

private:
    ChannelMode(Kind kind, std::int64_t channel, std::optional<std::vector<std::int64_t>> channels)
        : kind_(kind)
        , channel_(channel)
        , channels_(std::move(channels))
    {
    }

    Kind kind_;
    std::int64_t channel_;
    std::optional<std::vector<std::int64_t>> channels_;
};

// {"specificChannel":{"_0":1}} or {"sumChannels":{"_0":[0,1]}} ({"sumChannels":{}} for all).
void to_json(nlohmann::json& json, const ChannelMode& mode);
void from_json(const nlohmann::json& json, ChannelMode& mode);

struct AudioInputConfig {
    ChannelMode channelMode = ChannelMode::sumChannels();

    bool operator==(const AudioInputConfig&) const = default;
};

void to_json(nlohmann::json& json, const AudioInputConfig& config);
void from_json(const nlohmann::json& json, AudioInputConfig& config);

// What the window cutter returns: exactly the requested number of float32 samples.
using AudioProcessorOutputType = std::vector<float>;

// Per-buffer energy of live capture.
struct AudioEnergy {
    float rel = 0;
    float avg = 0;
    float max = 0;
    float min = 0;

    bool operator==(const AudioEnergy&) const = default;
};

// Root mean square, largest and smallest magnitude of a signal.
struct SignalEnergy {
    float avg = 0;
    float max = 0;
    float min = 0;

    bool operator==(const SignalEnergy&) const = default;
};

// One outcome per path of the concurrent loader: the samples or the loading error.
using AudioLoadResult = std::variant<std::vector<float>, std::exception_ptr>;

// The audio processor as the engine facade holds it. Live capture belongs to implementations
// that can record; the class-level loaders and the window cutter are static members of
// AudioProcessor.
class AudioProcessing {
public:
    using BufferCallback = std::function<void(const std::vector<float>&)>;

    virtual ~AudioProcessing() = default;

    virtual std::vector<float> audioSamples() const = 0;
    // Drops all but the last `keepingLast` samples.
    virtual void purgeAudioSamples(std::int64_t keepingLast) = 0;
    // The relative component of every energy record.
    virtual std::vector<float> relativeEnergy() const = 0;
    virtual std::int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(std::int64_t window) = 0;
    virtual void startRecordingLive(
        std::optional<std::uint32_t> inputDeviceID, BufferCallback callback)
        = 0;
    virtual void startStreamingRecordingLive(std::optional<std::uint32_t> inputDeviceID) = 0;
    virtual void pauseRecording() = 0;
    virtual void stopRecording() = 0;
    virtual void resumeRecordingLive(
        std::optional<std::uint32_t> inputDeviceID, BufferCallback callback)
        = 0;
    // The window cutter (AudioProcessor::padOrTrimAudio).
    virtual std::optional<AudioProcessorOutputType> padOrTrim(
        const std::vector<float>& audioArray, std::int64_t startAt, std::int64_t toLength)
        = 0;
};

// Turns audio files into 16 kHz mono float samples: libsndfile reads them, channels fold to
// mono, libsoxr resamples in bounded blocks. Failures to open or read throw WhisperError
// (loadAudioFailed) or AudioFileError; operations that build optional buffers log the failure
// at error level and return nullptr. The static members keep no state and may run
// concurrently. This processor does not record: its live-capture members throw WhisperError
// (microphoneUnavailable), because microphone capture lives in the application.
class AudioProcessor : public AudioProcessing {
public:
    // 16 kHz mono float32 samples of [startTime, endTime) seconds of the file at `path`, loaded
    // 600 s at a time so only one step's buffers are alive at once. Start at or after the end
    // gives an empty array; an end past the file is clamped.
    static std::vector<float> loadAudioAsFloatArray(const std::filesystem::path& path,
        const ChannelMode& channelMode = ChannelMode::sumChannels(),
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt);

    // The requested range as one 16 kHz mono buffer.
    static std::shared_ptr<AudioPCMBuffer> loadAudio(const std::filesystem::path& path,
        const ChannelMode& channelMode = ChannelMode::sumChannels(),
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt,
        std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    static std::shared_ptr<AudioPCMBuffer> loadAudio(AudioFile& file,
        const ChannelMode& channelMode = ChannelMode::sumChannels(),
        std::optional<double> startTime = std::nullopt,
        std::optional<double> endTime = std::nullopt,
        std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);

    // Loads every path whole with loadAudioAsFloatArray, all at once, off the caller's
    // executor (on `pool`); one result per path, in path order.
    static asio::awaitable<std::vector<AudioLoadResult>> loadAudio(
        std::vector<std::filesystem::path> paths, ChannelMode channelMode, hushnote::Executor pool);

    // Resamples `frameCount` frames (the whole file when absent) from the file's position,
    // reading `maxReadFrameSize` frames at a time; each block is folded to mono and converted
    // on its own. nullptr (logged) on failure.
    static std::shared_ptr<AudioPCMBuffer> resampleAudio(AudioFile& file, double toSampleRate,
        std::uint32_t channelCount, const ChannelMode& channelMode,
        std::optional<std::uint32_t> frameCount, std::uint32_t maxReadFrameSize);
    // One buffer converted to the standard format at the given rate and channel count.
    static std::shared_ptr<AudioPCMBuffer> resampleAudio(
        const AudioPCMBuffer& buffer, double toSampleRate, std::uint32_t channelCount);
    // Throws WhisperError (audioProcessingFailed) when the output cannot be made or converted.
    static std::shared_ptr<AudioPCMBuffer> resampleBuffer(
        const AudioPCMBuffer& buffer, const AudioConverter& converter);

    // The same buffer when it has fewer than 2 channels, else a new mono one; nullptr on failure.
    static std::shared_ptr<AudioPCMBuffer> convertToMono(
        const std::shared_ptr<AudioPCMBuffer>& buffer, const ChannelMode& mode);

    // Channel 0's frames, moved out `chunkSize` at a time; the copied source samples are zeroed.
    static std::vector<float> convertBufferToArray(
        AudioPCMBuffer& buffer, std::uint32_t chunkSize = 1024);

    // Exactly `toLength` samples from `startAt`, zero-padded past the end; nullopt (logged)
    // when startAt is outside the array. `saveSegment` has no effect.
    static std::optional<AudioProcessorOutputType> padOrTrimAudio(
        const std::vector<float>& audioArray, std::int64_t startAt = 0,
        std::int64_t toLength = 480000, bool saveSegment = false);

    // Root mean square.
    static float calculateAverageEnergy(std::span<const float> signal);
    static SignalEnergy calculateEnergy(std::span<const float> signal);
    // The signal's level in dB between the reference level (-60 dB when absent) and 0 dB,
    // mapped to 0...1.
    static float calculateRelativeEnergy(
        std::span<const float> signal, std::optional<float> relativeTo);
    // Whether each of `chunkCount` frames has a root mean square above `energyThreshold`;
    // frame i spans frameLength + overlap samples from i x frameLength, cut at the end.
    static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> signal,
        std::int64_t chunkCount, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
        float energyThreshold);
    // Active [start, end) sample ranges by the default energy detector.
    static std::vector<std::pair<std::int64_t, std::int64_t>> calculateNonSilentChunks(
        std::span<const float> signal);
    // Whether any of the relative energies of the next `nextBufferInSeconds` (0.1 s each, the
    // last ten of them ignored while more than ten remain) exceeds `silenceThreshold`.
    static bool isVoiceDetected(
        std::span<const float> relativeEnergies, float nextBufferInSeconds, float silenceThreshold);

    std::vector<float> audioSamples() const override;
    void purgeAudioSamples(std::int64_t keepingLast) override;
    std::vector<float> relativeEnergy() const override;
    std::int64_t relativeEnergyWindow() const override;
    void setRelativeEnergyWindow(std::int64_t window) override;
    void startRecordingLive(
        std::optional<std::uint32_t> inputDeviceID, BufferCallback callback) override;
    void startStreamingRecordingLive(std::optional<std::uint32_t> inputDeviceID) override;
    // Nothing records here, so there is nothing to pause or stop.
    void pauseRecording() override;
    void stopRecording() override;
    void resumeRecordingLive(
        std::optional<std::uint32_t> inputDeviceID, BufferCallback callback) override;
    std::optional<AudioProcessorOutputType> padOrTrim(
        const std::vector<float>& audioArray, std::int64_t startAt, std::int64_t toLength) override;

private:
    mutable std::mutex mutex_;
    std::vector<float> audioSamples_;
    std::vector<AudioEnergy> audioEnergy_;
    std::int64_t relativeEnergyWindow_ = 20;
};

} // namespace auralis
