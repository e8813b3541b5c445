#pragma once

#include "Auralis/Core/AudioEncoder.h"
#include "Auralis/Core/Audio/AudioProcessor.h"
#include "Auralis/Core/DecodingOptions.h"
#include "Auralis/Core/FeatureExtractor.h"
#include "Auralis/Core/TextDecoder.h"
#include "Auralis/Core/Text/SegmentSeeker.h"
#include "Auralis/Core/Text/WhisperTokenizer.h"
#include "Auralis/Core/TranscriptionProgress.h"
#include "Auralis/Core/TranscriptionResult.h"
#include "Auralis/Core/TranscriptionTimings.h"
#include "Auralis/Utilities/Progress.h"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// Transcribes one array of 16 kHz mono samples window by window: cut, mel features, encoder,
// decoding with temperature fallback, segments and seek, optional word timings. One run at a
// time; the stages run on the awaiting coroutine's executor and block it while they compute.
class TranscribeTask {
public:
    // `progress` and `audioProcessor` may be null (a new one is made).
    TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
        std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;

    TranscriptionTimings timings;
    // Total and completed counts in samples of the clips.
    const std::shared_ptr<Progress> progress;
    const std::shared_ptr<AudioEncoding> audioEncoder;
    const std::shared_ptr<FeatureExtracting> featureExtractor;
    const std::shared_ptr<SegmentSeeking> segmentSeeker;
    const std::shared_ptr<TextDecoding> textDecoder;
    const std::shared_ptr<AudioProcessing> audioProcessor;
    const std::shared_ptr<const WhisperTokenizer> tokenizer;
    SegmentDiscoveryCallback segmentDiscoveryCallback;

    // Throws WhisperError (transcriptionFailed, decodingFailed and the stages' errors), the
    // models' errors, and asio::system_error(operation_aborted) when cancelled. `timings`
    // keeps what was measured up to a failure.
    asio::awaitable<std::shared_ptr<TranscriptionResult>> run(std::vector<float> audioArray,
        std::optional<DecodingOptions> decodeOptions = std::nullopt, TranscriptionCallback callback = {});

    // Called for every window after it has been cut; does nothing here.
    virtual asio::awaitable<void> windowPreprocess(const std::vector<float>& paddedAudio, std::int64_t seek, std::int64_t segmentSize);
    // Called for every window that produced segments; returns them unchanged here.
    virtual asio::awaitable<std::vector<TranscriptionSegment>> windowPostProcess(
        std::int64_t seek, std::int64_t segmentSize, std::vector<TranscriptionSegment> segments);

    std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(const std::vector<std::int64_t>& tokens,
        std::vector<TranscriptionSegment> segments, const std::optional<std::string>& language,
        const TranscriptionTimings& timings) const;

    // Decodes one window at rising temperatures until an attempt needs no fallback; returns
    // the last attempt. `inputs` and `detectedLanguage` are read and updated.
    asio::awaitable<DecodedWindow> decodeWithFallback(runtime::MultiArray encoderOutput, DecodingOptions options,
        std::shared_ptr<DecodingInputsType>& inputs, std::optional<std::string>& detectedLanguage,
        TranscriptionCallback callback);

    // The attempts' temperatures, computed in 16-bit floats: j * increment + temperature for j
    // from 0 to temperatureFallbackCount. Throws WhisperError (decodingFailed) for a negative
    // count.
    static std::vector<runtime::Float16> fallbackTemperatures(const DecodingOptions& options);
};

} // namespace auralis
