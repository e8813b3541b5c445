#include "Auralis/Core/Audio/AudioChunker.h"

#include "Auralis/Core/Audio/EnergyVAD.h"
#include "Auralis/Core/Constants.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/WhisperError.h"
#include "Foundation/Error.h"

#include <algorithm>
#include <cstdio>

namespace auralis {
namespace {

    std::string seconds2(std::int64_t samples)
    {
        char text[64];
        std::snprintf(
            text, sizeof text, "%.2f", static_cast<double>(samples) / Constants::sampleRate);
        return text;
    }

} // namespace

std::vector<std::shared_ptr<TranscriptionResult>> AudioChunking::updateSeekOffsetsForResults(
    const std::vector<ChunkTranscription>& chunkedResults,
    const std::vector<AudioChunk>& audioChunks)
{
    std::vector<std::shared_ptr<TranscriptionResult>> merged;
    for (std::size_t i = 0; i < chunkedResults.size(); ++i) {
        if (const auto* error = std::get_if<std::exception_ptr>(&chunkedResults[i])) {
            Logging::debug("Error transcribing chunk " + std::to_string(i) + ": "
                + hushnote::describeError(*error).description);
            continue;
        }
        if (i >= audioChunks.size()) {
            // Results without a chunk have no offset to apply; keeping them would misplace them.
            Logging::error("No audio chunk for chunk results " + std::to_string(i));
            continue;
        }
        const std::int64_t offsetSamples = audioChunks[i].seekOffsetIndex;
        const float offset
            = static_cast<float>(offsetSamples) / static_cast<float>(Constants::sampleRate);
        for (const auto& result : std::get<0>(chunkedResults[i])) {
            if (!result) {
                continue;
            }
            result->updateSegments([&](std::vector<TranscriptionSegment>& segments) {
                for (auto& segment : segments) {
                    segment.seek += offsetSamples;
                    segment.start += offset;
                    segment.end += offset;
                    if (segment.words) {
                        for (auto& word : *segment.words) {
                            word.start += offset;
                            word.end += offset;
                        }
                    }
                }
            });
            result->setSeekTime(offset);
            merged.push_back(result);
        }
    }
    return merged;
}

VADAudioChunker::VADAudioChunker(
    std::int64_t windowPadding, std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding(windowPadding)
    , vad(vad ? std::move(vad) : std::make_shared<EnergyVAD>())
{
}

asio::awaitable<std::vector<AudioChunk>> VADAudioChunker::chunkAll(
    const std::vector<float>& audioArray, std::int64_t maxChunkLength,
    std::optional<DecodingOptions> decodeOptions)
{
    co_return chunk(audioArray, maxChunkLength, decodeOptions);
}

std::vector<AudioChunk> VADAudioChunker::chunk(const std::vector<float>& audioArray,
    std::int64_t maxChunkLength, const std::optional<DecodingOptions>& decodeOptions) const
{
    const auto total = static_cast<std::int64_t>(audioArray.size());
    if (total <= maxChunkLength) {
        return { AudioChunk { 0, audioArray } };
    }
    const DecodingOptions options = decodeOptions.value_or(DecodingOptions {});
    auto samplesBetween = [&](std::int64_t from, std::int64_t to) {
        // Clip ends beyond the audio are cut at its end.
        from = std::clamp<std::int64_t>(from, 0, total);
        to = std::clamp<std::int64_t>(to, from, total);
        return std::vector<float>(audioArray.begin() + from, audioArray.begin() + to);
    };

    std::vector<AudioChunk> chunks;
    for (const auto& [clipStart, clipEnd] : options.prepareSeekClips(total)) {
        const std::int64_t stop = clipEnd - windowPadding;
        std::int64_t seek = clipStart;
        while (seek < stop) {
            if (seek < 0 || seek >= total) {
                throw WhisperError(WhisperError::Kind::audioProcessingFailed,
                    "startIndex is outside the buffer size");
            }
            const std::int64_t windowEnd = seek + maxChunkLength;
            std::int64_t cut = clipEnd;
            if (windowEnd < clipEnd) {
                const std::int64_t limit = std::min(windowEnd, total);
                const std::int64_t middle = seek + (limit - seek) / 2;
                const auto flags
                    = vad->voiceActivity(std::span<const float>(audioArray)
                                             .subspan(static_cast<std::size_t>(middle),
                                                 static_cast<std::size_t>(limit - middle)));
                if (const auto silence = VoiceActivityDetector::findLongestSilence(flags)) {
                    const auto [first, end] = *silence;
                    cut = middle + (first + (end - first) / 2) * vad->frameLengthSamples;
                } else {
                    cut = limit;
                }
            }
            if (cut <= seek) {
                break;
            }
            Logging::debug("Found chunk from " + seconds2(seek) + " to " + seconds2(cut));
            chunks.push_back(AudioChunk { seek, samplesBetween(seek, cut) });
            seek = cut;
        }
    }
    return chunks;
}

} // namespace auralis
