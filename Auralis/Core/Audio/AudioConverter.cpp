#include "Auralis/Core/Audio/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <vector>

namespace auralis {

std::unique_ptr<AudioConverter> AudioConverter::create(
    const AudioFormat& input, const AudioFormat& output)
{
    if (!input.isValid() || !output.isValid() || input.interleaved || output.interleaved) {
        return nullptr;
    }
    if (input.channelCount != output.channelCount && input.channelCount != 1) {
        return nullptr;
    }
    return std::unique_ptr<AudioConverter>(new AudioConverter(input, output));
}

std::optional<std::string> AudioConverter::convert(
    const AudioPCMBuffer& input, AudioPCMBuffer& output) const
{
    if (input.format() != input_ || output.format() != output_) {
        return std::string("buffer formats do not match the converter");
    }
    output.setFrameLength(0);
    const std::size_t inFrames = input.frameLength();
    const std::size_t capacity = output.frameCapacity();
    if (inFrames == 0 || capacity == 0) {
        return std::nullopt;
    }
    const auto channels = output_.channelCount;
    auto sourceChannel = [&](std::uint32_t channel) {
        return input.floatChannelData(input_.channelCount == 1 ? 0 : channel).data();
    };

    if (input_.sampleRate == output_.sampleRate) {
        const auto frames = std::min(inFrames, capacity);
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            std::copy_n(sourceChannel(channel), frames, output.floatChannelData(channel).data());
        }
        output.setFrameLength(static_cast<std::uint32_t>(frames));
        return std::nullopt;
    }

    const auto io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const auto quality = soxr_quality_spec(SOXR_HQ, 0);
    const auto runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(
        input_.sampleRate, output_.sampleRate, channels, &error, &io, &quality, &runtime);
    if (!soxr) {
        return std::string(error ? error : "the resampler could not be created");
    }

    std::vector<const float*> in(channels);
    std::vector<float*> out(channels);
    std::size_t consumed = 0;
    std::size_t produced = 0;
    std::optional<std::string> failure;
    // Feed the input in slices (a whole block at once makes the resampler grow its internal
    // queue step by step), then flush (null input) until it runs dry or the output is full.
    constexpr std::size_t kSliceFrames = 16384;
    bool flushing = false;
    while (produced < capacity) {
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            in[channel] = sourceChannel(channel) + consumed;
            out[channel] = output.floatChannelData(channel).data() + produced;
        }
        const std::size_t slice = flushing ? 0 : std::min(kSliceFrames, inFrames - consumed);
        std::size_t inDone = 0;
        std::size_t outDone = 0;
        error = soxr_process(soxr, flushing ? nullptr : static_cast<const void*>(in.data()), slice,
            &inDone, out.data(), capacity - produced, &outDone);
        if (error) {
            failure = std::string(error);
            break;
        }
        consumed += inDone;
        produced += outDone;
        if (!flushing && consumed == inFrames) {
            flushing = true;
        } else if (flushing && outDone == 0) {
            break;
        }
    }
    soxr_delete(soxr);
    output.setFrameLength(static_cast<std::uint32_t>(produced));
    return failure;
}

} // namespace auralis
