#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <limits>
#include <utility>

namespace auralis {

// Seconds spent per engine stage and run counts (held as doubles). The two time points are
// absolute seconds on the reference clock of currentAbsoluteTime(). A plain value; create it
// with designated initialisers for any of the fields from modelLoading on.
struct TranscriptionTimings {
    // Time point at which a transcription started (the earliest wins).
    double pipelineStart = std::numeric_limits<double>::max();
    // Time point at which the first token of the first window was sampled (the earliest wins).
    double firstTokenTime = std::numeric_limits<double>::max();
    // Length of the transcribed audio.
    double inputAudioSeconds = 0.001;
    // Model loading.
    double modelLoading = 0;
    // Model pre-warming.
    double prewarmLoadTime = 0;
    // Audio encoder loading.
    double encoderLoadTime = 0;
    // Text decoder loading.
    double decoderLoadTime = 0;
    // Audio encoder specialisation.
    double encoderSpecializationTime = 0;
    // Text decoder specialisation.
    double decoderSpecializationTime = 0;
    // Tokenizer loading.
    double tokenizerLoadTime = 0;
    // Reading and converting the audio.
    double audioLoading = 0;
    // Cutting windows out of the audio.
    double audioProcessing = 0;
    // Mel feature extraction.
    double logmels = 0;
    // Audio encoding.
    double encoding = 0;
    // Preparing the decoder inputs.
    double decodingInit = 0;
    // The whole window loop of a transcription.
    double decodingLoop = 0;
    // Decoder model predictions.
    double decodingPredictions = 0;
    // Logits filters.
    double decodingFiltering = 0;
    // Token sampling.
    double decodingSampling = 0;
    // Decoding attempts that ended in a fallback.
    double decodingFallback = 0;
    // Segment finding and per-window bookkeeping.
    double decodingWindowing = 0;
    // Key/value cache updates.
    double decodingKvCaching = 0;
    // Word timing alignment.
    double decodingWordTimestamps = 0;
    // Decoding-loop time outside model predictions.
    double decodingNonPrediction = 0;
    // Windows cut.
    double totalAudioProcessingRuns = 0;
    // Mel extractions.
    double totalLogmelRuns = 0;
    // Encoder runs.
    double totalEncodingRuns = 0;
    // Decoder iterations.
    double totalDecodingLoops = 0;
    // Key/value cache updates.
    double totalKVUpdateRuns = 0;
    // Word timing alignments.
    double totalTimestampAlignmentRuns = 0;
    // Index of the latest attempt that needed a fallback.
    double totalDecodingFallbacks = 0;
    // Windows decoded.
    double totalDecodingWindows = 0;
    // Whole transcription.
    double fullPipeline = 0;

    // totalDecodingLoops / fullPipeline.
    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    // fullPipeline / inputAudioSeconds.
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    // inputAudioSeconds / fullPipeline.
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    bool operator==(const TranscriptionTimings&) const = default;

    // Every field with its name (also its JSON key), in declaration order.
    static const std::array<std::pair<const char*, double TranscriptionTimings::*>, 33> fields;
};

// Seconds since 2001-01-01 00:00:00 UTC, the reference clock of the timings' time points.
double currentAbsoluteTime();

template <typename J> void to_json(J& json, const TranscriptionTimings& timings);
// Every key is required; throws nlohmann::json::exception otherwise.
template <typename J> void from_json(const J& json, TranscriptionTimings& timings);

} // namespace auralis
