#include "Auralis/Core/Audio/AudioFile.h"

#include "Auralis/Core/Audio/AudioFileError.h"

#include <sndfile.h>

#include <algorithm>

namespace auralis {
namespace {

    // Frames moved per libsndfile call; bounds the interleaved scratch buffer.
    constexpr std::int64_t kReadSliceFrames = 16384;

} // namespace

struct AudioFile::Handle {
    SNDFILE* file = nullptr;
    SF_INFO info {};
    ~Handle()
    {
        if (file) {
            sf_close(file);
        }
    }
};

AudioFile::AudioFile(const std::filesystem::path& path)
    : path_(path)
    , handle_(std::make_unique<Handle>())
{
    handle_->file = sf_open(path.c_str(), SFM_READ, &handle_->info);
    if (!handle_->file) {
        throw AudioFileError(AudioFileError::Kind::openFailed,
            "The audio file " + path.string() + " could not be opened: " + sf_strerror(nullptr));
    }
    const auto& info = handle_->info;
    if (info.samplerate <= 0 || info.channels <= 0 || info.frames < 0) {
        throw AudioFileError(AudioFileError::Kind::openFailed,
            "The audio file " + path.string() + " has no usable sample rate or channel count");
    }
    processingFormat_
        = AudioFormat::standard(info.samplerate, static_cast<std::uint32_t>(info.channels));
    length_ = info.frames;
    // Integer samples map to [-1, 1); float files keep their values.
    sf_command(handle_->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
}

AudioFile::~AudioFile() = default;

void AudioFile::setFramePosition(std::int64_t framePosition)
{
    framePosition_ = std::max<std::int64_t>(framePosition, 0);
}

void AudioFile::seekReader(std::int64_t target)
{
    if (target == readerPosition_) {
        return;
    }
    if (sf_seek(handle_->file, target, SEEK_SET) == target) {
        readerPosition_ = target;
        return;
    }
    // Some streams cannot seek; moving forward by reading still works for them.
    if (target > readerPosition_) {
        std::vector<float> discard(
            static_cast<std::size_t>(kReadSliceFrames) * processingFormat_.channelCount);
        while (readerPosition_ < target) {
            const auto want = std::min(kReadSliceFrames, target - readerPosition_);
            const auto got = sf_readf_float(handle_->file, discard.data(), want);
            if (got <= 0) {
                break;
            }
            readerPosition_ += got;
        }
        if (readerPosition_ == target) {
            return;
        }
    }
    throw AudioFileError(AudioFileError::Kind::readFailed,
        "The audio file " + path_.string() + " cannot be positioned at frame "
            + std::to_string(target));
}

void AudioFile::read(AudioPCMBuffer& buffer, std::uint32_t frameCount)
{
    if (buffer.format() != processingFormat_) {
        throw AudioFileError(AudioFileError::Kind::readFailed,
            "The buffer's format does not match the audio file " + path_.string());
    }
    if (frameCount > buffer.frameCapacity()) {
        throw AudioFileError(AudioFileError::Kind::readFailed,
            "The buffer cannot hold " + std::to_string(frameCount) + " frames of "
                + path_.string());
    }
    buffer.setFrameLength(0);
    if (framePosition_ >= length_ || frameCount == 0) {
        return;
    }
    seekReader(framePosition_);

    const auto channels = processingFormat_.channelCount;
    interleaved_.resize(
        static_cast<std::size_t>(std::min<std::int64_t>(kReadSliceFrames, frameCount)) * channels);
    std::int64_t done = 0;
    while (done < frameCount) {
        const auto want = std::min<std::int64_t>(kReadSliceFrames, frameCount - done);
        const auto got = sf_readf_float(handle_->file, interleaved_.data(), want);
        if (got <= 0) {
            break;
        }
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            auto out = buffer.floatChannelData(channel).subspan(static_cast<std::size_t>(done));
            for (std::int64_t frame = 0; frame < got; ++frame) {
                out[static_cast<std::size_t>(frame)]
                    = interleaved_[static_cast<std::size_t>(frame) * channels + channel];
            }
        }
        done += got;
        if (got < want) {
            break;
        }
    }
    const int status = sf_error(handle_->file);
    readerPosition_ += done;
    framePosition_ += done;
    buffer.setFrameLength(static_cast<std::uint32_t>(done));
    if (status != SF_ERR_NO_ERROR) {
        throw AudioFileError(AudioFileError::Kind::readFailed,
            "Reading the audio file " + path_.string() + " failed: " + sf_error_number(status));
    }
}

} // namespace auralis
