#pragma once

#include "Auralis/Core/Audio/AudioFormat.h"
#include "Auralis/Core/Audio/AudioPCMBuffer.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace auralis {

// An audio file opened for reading through libsndfile (WAV, FLAC, Ogg, MP3 and whatever else
// it understands), delivering float32 non-interleaved samples. Integer PCM is scaled to
// [-1, 1). Not thread-safe; the file is closed on destruction.
class AudioFile {
public:
    // Throws AudioFileError (openFailed) when the file cannot be opened or is not audio.
    explicit AudioFile(const std::filesystem::path& path);
    ~AudioFile();
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The file's native sample rate and channel count.
    const AudioFormat& fileFormat() const { return processingFormat_; }
    // The layout read() delivers: float32, non-interleaved, native rate and channels.
    const AudioFormat& processingFormat() const { return processingFormat_; }
    // Frames in the file (as the reader reports them; a damaged file may deliver fewer).
    std::int64_t length() const { return length_; }
    std::int64_t framePosition() const { return framePosition_; }
    // Positions past the end are allowed; reading there yields no frames.
    void setFramePosition(std::int64_t framePosition);

    // Reads up to `frameCount` frames at the current position into `buffer` (whose format must
    // be the processing format and whose capacity must hold them), sets the buffer's frame
    // length to the number read and advances the position by it. Fewer frames than asked
    // means the file ended. Throws AudioFileError (readFailed).
    void read(AudioPCMBuffer& buffer, std::uint32_t frameCount);

private:
    struct Handle;

    void seekReader(std::int64_t framePosition);

    std::filesystem::path path_;
    std::unique_ptr<Handle> handle_;
    AudioFormat processingFormat_;
    std::int64_t length_ = 0;
    std::int64_t framePosition_ = 0;
    // Where the reader itself stands, which differs from framePosition_ past the end.
    std::int64_t readerPosition_ = 0;
    std::vector<float> interleaved_;
};

} // namespace auralis
