#pragma once

#include "Auralis/Core/Audio/VoiceActivityDetector.h"
#include "Auralis/Core/DecodingOptions.h"
#include "Auralis/Core/TranscriptionResult.h"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace auralis {

// A piece of a longer recording: where its first sample lies in the whole, and its samples.
struct AudioChunk {
    std::int64_t seekOffsetIndex = 0;
    std::vector<float> audioSamples {};

    bool operator==(const AudioChunk&) const = default;
};

// Per chunk, in chunk order: that chunk's results, or the error its transcription produced.
using ChunkTranscription
    = std::variant<std::vector<std::shared_ptr<TranscriptionResult>>, std::exception_ptr>;

// Cuts long audio into pieces of at most one model window.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;

    // `audioArray` must outlive the awaited operation. Throws WhisperError.
    virtual asio::awaitable<std::vector<AudioChunk>> chunkAll(const std::vector<float>& audioArray,
        std::int64_t maxChunkLength, std::optional<DecodingOptions> decodeOptions)
        = 0;

    // Moves every result of chunk i onto the whole recording's timeline (segment seeks by the
    // chunk's sample offset, segment and word times and seekTime by it in seconds) and
    // returns them in chunk order; failed chunks are logged and left out. The results are
    // shared objects and are updated in place.
    static std::vector<std::shared_ptr<TranscriptionResult>> updateSeekOffsetsForResults(
        const std::vector<ChunkTranscription>& chunkedResults,
        const std::vector<AudioChunk>& audioChunks);
};

// Cuts in the middle of the longest silence in the second half of each window, as the voice
// activity detector sees it. Holds only its configuration.
class VADAudioChunker final : public AudioChunking {
public:
    // `vad` defaults to the engine's energy detector.
    explicit VADAudioChunker(std::int64_t windowPadding = 16000,
        std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

    // Samples; a clip's last `windowPadding` samples start no chunk.
    const std::int64_t windowPadding;
    const std::shared_ptr<const VoiceActivityDetector> vad;

    // Throws WhisperError (audioProcessingFailed, "startIndex is outside the buffer size")
    // when a seek clip starts at or past the end of the audio.
    asio::awaitable<std::vector<AudioChunk>> chunkAll(const std::vector<float>& audioArray,
        std::int64_t maxChunkLength, std::optional<DecodingOptions> decodeOptions) override;

    // The same cut, without a coroutine.
    std::vector<AudioChunk> chunk(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
        const std::optional<DecodingOptions>& decodeOptions) const;
};

} // namespace auralis
