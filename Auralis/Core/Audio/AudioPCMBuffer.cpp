#include "Auralis/Core/Audio/AudioPCMBuffer.h"

#include "Auralis/Utilities/Logging.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace auralis {
namespace {

    std::atomic<std::size_t> gLiveBytes { 0 };
    std::atomic<std::size_t> gPeakBytes { 0 };

    void addLiveBytes(std::size_t bytes)
    {
        const auto now = gLiveBytes.fetch_add(bytes) + bytes;
        auto peak = gPeakBytes.load();
        while (now > peak && !gPeakBytes.compare_exchange_weak(peak, now)) { }
    }

    std::size_t storageBytes(const AudioFormat& format, std::uint32_t frameCapacity)
    {
        return static_cast<std::size_t>(frameCapacity) * format.channelCount * sizeof(float);
    }

} // namespace

std::shared_ptr<AudioPCMBuffer> AudioPCMBuffer::create(
    const AudioFormat& format, std::uint32_t frameCapacity)
{
    if (!format.isValid() || format.interleaved || format.channelCount > 1024) {
        return nullptr;
    }
    // calloc leaves large blocks to the kernel's zero pages, so a big capacity costs memory
    // only as it is filled; it also checks the size product for overflow.
    const auto samples = static_cast<std::size_t>(frameCapacity) * format.channelCount;
    Storage storage(
        static_cast<float*>(std::calloc(std::max<std::size_t>(samples, 1), sizeof(float))));
    if (!storage) {
        return nullptr;
    }
    return std::shared_ptr<AudioPCMBuffer>(
        new AudioPCMBuffer(format, frameCapacity, std::move(storage)));
}

void AudioPCMBuffer::FreeStorage::operator()(float* samples) const { std::free(samples); }

AudioPCMBuffer::AudioPCMBuffer(
    const AudioFormat& format, std::uint32_t frameCapacity, Storage storage)
    : format_(format)
    , frameCapacity_(frameCapacity)
    , storage_(std::move(storage))
{
    addLiveBytes(storageBytes(format_, frameCapacity_));
}

AudioPCMBuffer::~AudioPCMBuffer() { gLiveBytes.fetch_sub(storageBytes(format_, frameCapacity_)); }

void AudioPCMBuffer::setFrameLength(std::uint32_t frameLength)
{
    frameLength_ = std::min(frameLength, frameCapacity_);
}

std::span<float> AudioPCMBuffer::floatChannelData(std::uint32_t channel)
{
    return { storage_.get() + static_cast<std::size_t>(channel) * frameCapacity_, frameCapacity_ };
}

std::span<const float> AudioPCMBuffer::floatChannelData(std::uint32_t channel) const
{
    return { storage_.get() + static_cast<std::size_t>(channel) * frameCapacity_, frameCapacity_ };
}

bool AudioPCMBuffer::appendContents(
    const AudioPCMBuffer& source, std::uint32_t startingFrame, std::uint32_t frameCount)
{
    if (source.format() != format_) {
        Logging::debug("Format mismatch");
        return false;
    }
    if (static_cast<std::uint64_t>(source.frameLength())
        < static_cast<std::uint64_t>(startingFrame) + frameCount) {
        Logging::error("Insufficient audio in buffer");
        return false;
    }
    if (frameCapacity_ - frameLength_ < frameCount) {
        Logging::debug("Insufficient space in buffer, reducing frame count to fit");
        frameCount = frameCapacity_ - frameLength_;
    }
    for (std::uint32_t channel = 0; channel < format_.channelCount; ++channel) {
        const auto from = source.floatChannelData(channel).subspan(startingFrame, frameCount);
        std::copy(from.begin(), from.end(), floatChannelData(channel).begin() + frameLength_);
    }
    frameLength_ += frameCount;
    return true;
}

std::size_t AudioPCMBuffer::liveSampleBytes() { return gLiveBytes.load(); }
std::size_t AudioPCMBuffer::peakSampleBytes() { return gPeakBytes.load(); }
void AudioPCMBuffer::resetPeakSampleBytes() { gPeakBytes.store(gLiveBytes.load()); }

} // namespace auralis
