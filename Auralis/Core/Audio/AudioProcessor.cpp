#include "Auralis/Core/Audio/AudioProcessor.h"

#include "Auralis/Core/Audio/AudioFileError.h"
#include "Auralis/Core/Audio/EnergyVAD.h"
#include "Auralis/Core/Constants.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/WhisperError.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <future>
#include <limits>

namespace auralis {
namespace {

    constexpr double kFileChunkSeconds = 600.0;
    constexpr std::uint32_t kArrayCopyChunk = 1024;
    constexpr float kSilenceFloor = 0.0001f;

    // Numbers in log lines: shortest round-trip form, with ".0" on whole values.
    std::string describe(double value)
    {
        char text[40];
        const auto result = std::to_chars(text, text + sizeof text, value);
        std::string s(text, result.ptr);
        if (std::isfinite(value) && s.find_first_of(".e") == std::string::npos) {
            s += ".0";
        }
        return s;
    }

    std::string fixed2(double value)
    {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f", value);
        return text;
    }

    float maximumMagnitude(std::span<const float> samples)
    {
        float peak = 0;
        for (const float sample : samples) {
            peak = std::max(peak, std::fabs(sample));
        }
        return peak;
    }

    float rootMeanSquare(std::span<const float> samples)
    {
        if (samples.empty()) {
            return 0;
        }
        double sum = 0;
        for (const float sample : samples) {
            sum += static_cast<double>(sample) * sample;
        }
        return static_cast<float>(std::sqrt(sum / static_cast<double>(samples.size())));
    }

    // Moves channel 0 of `buffer` onto the end of `out`, `chunkSize` frames at a time, zeroing
    // what it has copied so the source can be released page by page.
    void appendBufferToArray(
        AudioPCMBuffer& buffer, std::vector<float>& out, std::uint32_t chunkSize)
    {
        const std::uint32_t length = buffer.frameLength();
        const auto samples = buffer.floatChannelData(0);
        chunkSize = std::max<std::uint32_t>(chunkSize, 1);
        for (std::uint32_t offset = 0; offset < length; offset += chunkSize) {
            const auto count = std::min(chunkSize, length - offset);
            const auto chunk = samples.subspan(offset, count);
            out.insert(out.end(), chunk.begin(), chunk.end());
            std::fill(chunk.begin(), chunk.end(), 0.0f);
        }
    }

    void logBufferDetails(
        const char* what, double rate, std::uint32_t channels, std::int64_t frames)
    {
        if (Logging::isEnabled(LogLevel::debug)) {
            Logging::debug(std::string(what) + " - Sample Rate: " + describe(rate)
                + " Hz, Channel Count: " + std::to_string(channels)
                + ", Frame Length: " + std::to_string(frames)
                + ", Duration: " + describe(static_cast<double>(frames) / rate) + "s");
        }
    }

    void requireExistingFile(const std::filesystem::path& path)
    {
        std::error_code error;
        if (!std::filesystem::exists(path, error)) {
            throw WhisperError(WhisperError::Kind::loadAudioFailed,
                "Resource path does not exist " + path.string());
        }
    }

} // namespace

void to_json(nlohmann::json& json, const ChannelMode& mode)
{
    json = nlohmann::json::object();
    switch (mode.kind()) {
    case ChannelMode::Kind::specificChannel:
        json["specificChannel"] = { { "_0", mode.channel() } };
        break;
    case ChannelMode::Kind::sumChannels:
        json["sumChannels"] = nlohmann::json::object();
        if (mode.channels()) {
            json["sumChannels"]["_0"] = *mode.channels();
        }
        break;
    }
}

void from_json(const nlohmann::json& json, ChannelMode& mode)
{
    if (json.contains("specificChannel")) {
        mode
            = ChannelMode::specificChannel(json.at("specificChannel").at("_0").get<std::int64_t>());
    } else if (json.contains("sumChannels")) {
        const auto& payload = json.at("sumChannels");
        if (payload.contains("_0") && !payload.at("_0").is_null()) {
            mode = ChannelMode::sumChannels(payload.at("_0").get<std::vector<std::int64_t>>());
        } else {
            mode = ChannelMode::sumChannels();
        }
    } else {
        throw nlohmann::json::type_error::create(302, "unknown channel mode " + json.dump(), &json);
    }
}

void to_json(nlohmann::json& json, const AudioInputConfig& config)
{
    json = { { "channelMode", config.channelMode } };
}

void from_json(const nlohmann::json& json, AudioInputConfig& config)
{
    config.channelMode = json.at("channelMode").get<ChannelMode>();
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::filesystem::path& path,
    const ChannelMode& channelMode, std::optional<double> startTime, std::optional<double> endTime)
{
    requireExistingFile(path);
    AudioFile file(path);

    const double duration = static_cast<double>(file.length()) / file.fileFormat().sampleRate;
    double start = startTime.value_or(0.0);
    const double end = endTime ? std::min(*endTime, duration) : duration;
    std::vector<float> result;
    if (!(start < end)) {
        return result;
    }
    try {
        const double steps = std::ceil((end - start) / kFileChunkSeconds);
        result.reserve(
            static_cast<std::size_t>(std::ceil((end - start) * Constants::sampleRate) + steps + 1));
    } catch (const std::exception&) {
        // A header that claims an absurd length must not stop the load; growth still works.
    }
    while (start < end) {
        const double chunkEnd = std::min(end, start + kFileChunkSeconds);
        // The step's buffer dies at the end of the iteration, before the next step is read.
        auto buffer = loadAudio(file, channelMode, start, chunkEnd, std::nullopt);
        appendBufferToArray(*buffer, result, kArrayCopyChunk);
        start = chunkEnd;
    }
    return result;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::loadAudio(const std::filesystem::path& path,
    const ChannelMode& channelMode, std::optional<double> startTime, std::optional<double> endTime,
    std::optional<std::uint32_t> maxReadFrameSize)
{
    requireExistingFile(path);
    AudioFile file(path);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::loadAudio(AudioFile& file,
    const ChannelMode& channelMode, std::optional<double> startTime, std::optional<double> endTime,
    std::optional<std::uint32_t> maxReadFrameSize)
{
    const double rate = file.fileFormat().sampleRate;
    const auto channels = file.fileFormat().channelCount;
    const std::int64_t length = file.length();
    if (length > std::numeric_limits<std::uint32_t>::max()) {
        throw WhisperError(WhisperError::Kind::loadAudioFailed,
            "Failed to read audio file: " + file.path().string()
                + " holds more than 4294967295 frames");
    }

    // Frames outside the file are clamped, so a range before the start or past the end is
    // simply empty.
    auto toFrame = [&](double seconds) {
        const double frame = std::trunc(seconds * rate);
        return static_cast<std::int64_t>(std::clamp(frame, 0.0, static_cast<double>(length)));
    };
    const std::int64_t startFrame = toFrame(startTime.value_or(0.0));
    const std::int64_t endFrame = endTime ? std::min(length, toFrame(*endTime)) : length;
    const auto frameCount
        = static_cast<std::uint32_t>(std::max<std::int64_t>(0, endFrame - startFrame));
    file.setFramePosition(startFrame);

    std::shared_ptr<AudioPCMBuffer> buffer;
    if (rate == Constants::sampleRate && channels == 1) {
        buffer = AudioPCMBuffer::create(file.processingFormat(), frameCount);
        if (!buffer) {
            throw WhisperError(
                WhisperError::Kind::loadAudioFailed, "Unable to create audio buffer");
        }
        try {
            file.read(*buffer, frameCount);
        } catch (const hushnote::Error& error) {
            throw WhisperError(WhisperError::Kind::loadAudioFailed,
                "Failed to read audio file: " + error.description());
        }
    } else {
        buffer = resampleAudio(file, Constants::sampleRate, 1, channelMode, frameCount,
            maxReadFrameSize.value_or(Constants::defaultAudioReadFrameSize));
        if (!buffer) {
            throw WhisperError(
                WhisperError::Kind::loadAudioFailed, "Failed to process audio buffer");
        }
    }

    logBufferDetails("Audio source details", rate, channels, length);
    logBufferDetails("Audio buffer details", buffer->format().sampleRate,
        buffer->format().channelCount, buffer->frameLength());
    Logging::logCurrentMemoryUsage("After loadAudio function");
    return buffer;
}

asio::awaitable<std::vector<AudioLoadResult>> AudioProcessor::loadAudio(
    std::vector<std::filesystem::path> paths, ChannelMode channelMode, hushnote::Executor pool)
{
    // One child per path, all running at once; results land at their path's index. (The work
    // is a named local: GCC 12 mishandles lambda temporaries inside a co_await expression.)
    auto work = [paths = std::move(paths), channelMode] {
        std::vector<std::future<std::vector<float>>> children;
        children.reserve(paths.size());
        for (const auto& path : paths) {
            children.push_back(std::async(std::launch::async,
                [path, channelMode] { return loadAudioAsFloatArray(path, channelMode); }));
        }
        std::vector<AudioLoadResult> results;
        results.reserve(paths.size());
        for (auto& child : children) {
            try {
                results.emplace_back(child.get());
            } catch (...) {
                results.emplace_back(std::current_exception());
            }
        }
        return results;
    };
    auto results = co_await hushnote::runBlocking(pool, std::move(work));
    co_return results;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::resampleAudio(AudioFile& file, double toSampleRate,
    std::uint32_t channelCount, const ChannelMode& channelMode,
    std::optional<std::uint32_t> frameCount, std::uint32_t maxReadFrameSize)
{
    const double nativeRate = file.fileFormat().sampleRate;
    const std::int64_t start = file.framePosition();
    const std::int64_t count = frameCount ? static_cast<std::int64_t>(*frameCount) : file.length();
    const std::int64_t end = std::min(start + count, file.length() + 1);
    if (maxReadFrameSize == 0) {
        maxReadFrameSize = Constants::defaultAudioReadFrameSize;
    }

    const auto outputFormat = AudioFormat::standard(toSampleRate, channelCount);
    if (!outputFormat.isValid()) {
        Logging::error("Failed to create output audio format");
        return nullptr;
    }
    Logging::debug(
        "Resampling " + fixed2(static_cast<double>(count) / nativeRate) + " seconds of audio");

    const double capacity
        = std::trunc(static_cast<double>(count) / nativeRate * outputFormat.sampleRate);
    std::shared_ptr<AudioPCMBuffer> output;
    if (capacity <= std::numeric_limits<std::uint32_t>::max()) {
        output = AudioPCMBuffer::create(outputFormat, static_cast<std::uint32_t>(capacity));
    }
    if (!output) {
        Logging::error("Failed to create output buffer");
        return nullptr;
    }
    const auto input = AudioPCMBuffer::create(file.processingFormat(), maxReadFrameSize);
    if (!input) {
        Logging::error("Failed to create input buffer");
        return nullptr;
    }

    while (file.framePosition() < end) {
        const std::int64_t position = file.framePosition();
        const auto framesToRead
            = static_cast<std::uint32_t>(std::min<std::int64_t>(maxReadFrameSize, end - position));
        if (Logging::isEnabled(LogLevel::debug)) {
            Logging::debug("Resampling " + fixed2(static_cast<double>(position) / nativeRate)
                + "s - " + fixed2(static_cast<double>(position + framesToRead) / nativeRate) + "s");
        }
        try {
            file.read(*input, framesToRead);
        } catch (const hushnote::Error& error) {
            Logging::error("Error reading audio file: " + error.description());
            return nullptr;
        }
        const auto mono = convertToMono(input, channelMode);
        if (!mono) {
            Logging::error("Failed to process audio channels");
            return nullptr;
        }
        const auto resampled
            = resampleAudio(*mono, outputFormat.sampleRate, outputFormat.channelCount);
        if (!resampled) {
            Logging::error("Failed to resample audio chunk");
            return nullptr;
        }
        if (!output->appendContents(*resampled, 0, resampled->frameLength())) {
            Logging::error("Failed to append audio chunk");
            return nullptr;
        }
        // The last block, or a file that delivers fewer frames than its header promised: a
        // short read would otherwise repeat forever at the same position.
        if (position + framesToRead >= end || input->frameLength() < framesToRead) {
            break;
        }
    }
    return output;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::resampleAudio(
    const AudioPCMBuffer& buffer, double toSampleRate, std::uint32_t channelCount)
{
    const auto outputFormat = AudioFormat::standard(toSampleRate, channelCount);
    if (!outputFormat.isValid()) {
        Logging::error("Failed to create output audio format");
        return nullptr;
    }
    const auto converter = AudioConverter::create(buffer.format(), outputFormat);
    if (!converter) {
        Logging::error("Failed to create audio converter");
        return nullptr;
    }
    try {
        return resampleBuffer(buffer, *converter);
    } catch (const WhisperError& error) {
        Logging::error("Failed to resample buffer: " + error.description());
        return nullptr;
    }
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::resampleBuffer(
    const AudioPCMBuffer& buffer, const AudioConverter& converter)
{
    const double inputRate = buffer.format().sampleRate;
    const double outputRate = converter.outputFormat().sampleRate;
    double capacity = outputRate * static_cast<double>(buffer.frameLength()) / inputRate;
    if (capacity != std::trunc(capacity)) {
        // Ties to even, like the platform's nearest rounding.
        const double rounded = std::max(std::nearbyint(capacity), 1.0);
        Logging::debug("Rounding buffer frame capacity from " + describe(capacity) + " to "
            + describe(rounded) + " to better fit new sample rate");
        capacity = rounded;
    }
    std::shared_ptr<AudioPCMBuffer> output;
    if (capacity <= std::numeric_limits<std::uint32_t>::max()) {
        output = AudioPCMBuffer::create(
            converter.outputFormat(), static_cast<std::uint32_t>(capacity));
    }
    if (!output) {
        throw WhisperError(
            WhisperError::Kind::audioProcessingFailed, "Failed to create converted buffer");
    }
    if (const auto error = converter.convert(buffer, *output)) {
        throw WhisperError(
            WhisperError::Kind::audioProcessingFailed, "Error converting audio: " + *error);
    }
    return output;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::convertToMono(
    const std::shared_ptr<AudioPCMBuffer>& buffer, const ChannelMode& mode)
{
    if (!buffer) {
        Logging::error("Buffer did not contain floatChannelData.");
        return nullptr;
    }
    const auto channelCount = buffer->format().channelCount;
    if (channelCount < 2) {
        return buffer;
    }
    const auto monoFormat = AudioFormat::standard(buffer->format().sampleRate, 1);
    if (!monoFormat.isValid()) {
        Logging::error("Failed to create AVAudioFormat object.");
        return nullptr;
    }
    auto mono = AudioPCMBuffer::create(monoFormat, buffer->frameCapacity());
    if (!mono) {
        Logging::error("Failed to create mono buffer.");
        return nullptr;
    }
    const std::uint32_t frames = buffer->frameLength();
    mono->setFrameLength(frames);
    auto out = mono->floatChannelData(0).first(frames);
    std::fill(out.begin(), out.end(), 0.0f);
    auto source = [&](std::int64_t index) -> std::span<const float> {
        return static_cast<const AudioPCMBuffer&>(*buffer)
            .floatChannelData(static_cast<std::uint32_t>(index))
            .first(frames);
    };
    auto valid = [&](std::int64_t index) {
        return index >= 0 && index < static_cast<std::int64_t>(channelCount);
    };

    if (mode.kind() == ChannelMode::Kind::specificChannel) {
        const auto from = source(valid(mode.channel()) ? mode.channel() : 0);
        std::copy(from.begin(), from.end(), out.begin());
        return mono;
    }

    std::vector<std::int64_t> used;
    if (mode.channels() && !mode.channels()->empty()) {
        for (const auto index : *mode.channels()) {
            if (valid(index)) {
                used.push_back(index);
            }
        }
        if (used.empty()) {
            const auto from = source(0);
            std::copy(from.begin(), from.end(), out.begin());
            Logging::debug("No valid channel indices provided, defaulting to first channel");
            return mono;
        }
    } else {
        for (std::uint32_t index = 0; index < channelCount; ++index) {
            used.push_back(index);
        }
    }

    float peak = 0;
    for (const auto index : used) {
        const auto from = source(index);
        peak = std::max(peak, maximumMagnitude(from));
        for (std::uint32_t i = 0; i < frames; ++i) {
            out[i] += from[i];
        }
    }
    const float scale = peak / std::max(maximumMagnitude(out), kSilenceFloor);
    for (auto& sample : out) {
        sample *= scale;
    }
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(
    AudioPCMBuffer& buffer, std::uint32_t chunkSize)
{
    std::vector<float> result;
    result.reserve(buffer.frameLength());
    appendBufferToArray(buffer, result, chunkSize);
    return result;
}

std::optional<AudioProcessorOutputType> AudioProcessor::padOrTrimAudio(
    const std::vector<float>& audioArray, std::int64_t startAt, std::int64_t toLength,
    bool /*saveSegment*/)
{
    const auto length = static_cast<std::int64_t>(audioArray.size());
    if (startAt < 0 || startAt >= length || toLength < 0) {
        Logging::error("startIndex is outside the buffer size");
        return std::nullopt;
    }
    AudioProcessorOutputType window(static_cast<std::size_t>(toLength), 0.0f);
    const auto count = std::min(startAt + toLength, length) - startAt;
    std::copy_n(audioArray.begin() + startAt, count, window.begin());
    return window;
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> signal)
{
    return rootMeanSquare(signal);
}

SignalEnergy AudioProcessor::calculateEnergy(std::span<const float> signal)
{
    if (signal.empty()) {
        return {};
    }
    float smallest = std::numeric_limits<float>::max();
    for (const float sample : signal) {
        smallest = std::min(smallest, std::fabs(sample));
    }
    return { rootMeanSquare(signal), maximumMagnitude(signal), smallest };
}

float AudioProcessor::calculateRelativeEnergy(
    std::span<const float> signal, std::optional<float> relativeTo)
{
    const float signalLevel = 20.0f * std::log10(rootMeanSquare(signal));
    const float referenceLevel
        = relativeTo ? 20.0f * std::log10(std::max(*relativeTo, 1e-8f)) : -60.0f;
    const float relative = (signalLevel - referenceLevel) / (0.0f - referenceLevel);
    if (std::isnan(relative)) {
        return 0.0f;
    }
    return std::clamp(relative, 0.0f, 1.0f);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> signal,
    std::int64_t chunkCount, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
    float energyThreshold)
{
    const auto total = static_cast<std::int64_t>(signal.size());
    std::vector<bool> active;
    active.reserve(static_cast<std::size_t>(std::max<std::int64_t>(chunkCount, 0)));
    for (std::int64_t i = 0; i < chunkCount; ++i) {
        // Frames past the end of the signal are empty, hence silent.
        const auto start = std::min(i * frameLengthSamples, total);
        const auto end
            = std::max(start, std::min(start + frameLengthSamples + frameOverlapSamples, total));
        const float energy = rootMeanSquare(
            signal.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
        active.push_back(energy > energyThreshold);
    }
    return active;
}

std::vector<std::pair<std::int64_t, std::int64_t>> AudioProcessor::calculateNonSilentChunks(
    std::span<const float> signal)
{
    const EnergyVAD vad(Constants::sampleRate, 1600, 0, 0.02f);
    return vad.calculateActiveChunks(signal);
}

bool AudioProcessor::isVoiceDetected(
    std::span<const float> relativeEnergies, float nextBufferInSeconds, float silenceThreshold)
{
    const auto considered
        = static_cast<std::size_t>(std::max(0.0f, std::trunc(nextBufferInSeconds / 0.1f)));
    const auto next = relativeEnergies.last(std::min(considered, relativeEnergies.size()));
    const auto checked
        = std::min(next.size(), std::max<std::size_t>(10, next.size() > 10 ? next.size() - 10 : 0));
    const auto values = next.first(checked);
    return std::any_of(
        values.begin(), values.end(), [&](float energy) { return energy > silenceThreshold; });
}

std::vector<float> AudioProcessor::audioSamples() const
{
    std::lock_guard lock(mutex_);
    return audioSamples_;
}

void AudioProcessor::purgeAudioSamples(std::int64_t keepingLast)
{
    std::lock_guard lock(mutex_);
    const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(keepingLast, 0));
    if (audioSamples_.size() > keep) {
        audioSamples_.erase(
            audioSamples_.begin(), audioSamples_.end() - static_cast<std::ptrdiff_t>(keep));
    }
}

std::vector<float> AudioProcessor::relativeEnergy() const
{
    std::lock_guard lock(mutex_);
    std::vector<float> relative;
    for (const auto& energy : audioEnergy_) {
        relative.push_back(energy.rel);
    }
    return relative;
}

std::int64_t AudioProcessor::relativeEnergyWindow() const
{
    std::lock_guard lock(mutex_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(std::int64_t window)
{
    std::lock_guard lock(mutex_);
    relativeEnergyWindow_ = window;
}

namespace {

    [[noreturn]] void liveCaptureUnsupported()
    {
        throw WhisperError(WhisperError::Kind::microphoneUnavailable,
            "Live microphone capture is not supported by the engine's audio processor");
    }

} // namespace

void AudioProcessor::startRecordingLive(std::optional<std::uint32_t>, BufferCallback)
{
    liveCaptureUnsupported();
}

void AudioProcessor::startStreamingRecordingLive(std::optional<std::uint32_t>)
{
    liveCaptureUnsupported();
}

void AudioProcessor::pauseRecording() { }

void AudioProcessor::stopRecording() { }

void AudioProcessor::resumeRecordingLive(std::optional<std::uint32_t>, BufferCallback)
{
    liveCaptureUnsupported();
}

std::optional<AudioProcessorOutputType> AudioProcessor::padOrTrim(
    const std::vector<float>& audioArray, std::int64_t startAt, std::int64_t toLength)
{
    return padOrTrimAudio(audioArray, startAt, toLength);
}

} // namespace auralis
