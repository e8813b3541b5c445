#pragma once

#include "Auralis/Core/Audio/AudioFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace auralis {

// A block of float32 samples with a fixed capacity in frames and a frame length (how many
// frames hold audio), one contiguous array per channel. Shared through std::shared_ptr, like
// the platform buffers whose role it takes. Not thread-safe.
class AudioPCMBuffer {
public:
    // Fails (nullptr) for an invalid or interleaved format or when the storage cannot be
    // allocated. Samples start as zeros; the frame length starts at 0.
    static std::shared_ptr<AudioPCMBuffer> create(
        const AudioFormat& format, std::uint32_t frameCapacity);

    ~AudioPCMBuffer();
    AudioPCMBuffer(const AudioPCMBuffer&) = delete;
    AudioPCMBuffer& operator=(const AudioPCMBuffer&) = delete;

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frameLength);

    // The storage of one channel, frameCapacity() samples; channel < format().channelCount.
    std::span<float> floatChannelData(std::uint32_t channel);
    std::span<const float> floatChannelData(std::uint32_t channel) const;

    // Appends frames [startingFrame, startingFrame + frameCount) of `source`, every channel,
    // after this buffer's frame length. False (and a log line) when the formats differ or the
    // source holds too few frames; a frame count beyond the free capacity is reduced to fit.
    bool appendContents(
        const AudioPCMBuffer& source, std::uint32_t startingFrame, std::uint32_t frameCount);

    // Bytes of sample storage held by all live buffers, and the most ever held at once since
    // the last reset. The long-file loader's memory bound is checked through these.
    static std::size_t liveSampleBytes();
    static std::size_t peakSampleBytes();
    static void resetPeakSampleBytes();

private:
    struct FreeStorage {
        void operator()(float* samples) const;
    };
    using Storage = std::unique_ptr<float, FreeStorage>;

    AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity, Storage storage);

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    Storage storage_;
};

} // namespace auralis
