#include "Auralis/Core/TranscriptionTimings.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace auralis {

const std::array<std::pair<const char*, double TranscriptionTimings::*>, 33>
    TranscriptionTimings::fields { {
        { "pipelineStart", &TranscriptionTimings::pipelineStart },
        { "firstTokenTime", &TranscriptionTimings::firstTokenTime },
        { "inputAudioSeconds", &TranscriptionTimings::inputAudioSeconds },
        { "modelLoading", &TranscriptionTimings::modelLoading },
        { "prewarmLoadTime", &TranscriptionTimings::prewarmLoadTime },
        { "encoderLoadTime", &TranscriptionTimings::encoderLoadTime },
        { "decoderLoadTime", &TranscriptionTimings::decoderLoadTime },
        { "encoderSpecializationTime", &TranscriptionTimings::encoderSpecializationTime },
        { "decoderSpecializationTime", &TranscriptionTimings::decoderSpecializationTime },
        { "tokenizerLoadTime", &TranscriptionTimings::tokenizerLoadTime },
        { "audioLoading", &TranscriptionTimings::audioLoading },
        { "audioProcessing", &TranscriptionTimings::audioProcessing },
        { "logmels", &TranscriptionTimings::logmels },
        { "encoding", &TranscriptionTimings::encoding },
        { "decodingInit", &TranscriptionTimings::decodingInit },
        { "decodingLoop", &TranscriptionTimings::decodingLoop },
        { "decodingPredictions", &TranscriptionTimings::decodingPredictions },
        { "decodingFiltering", &TranscriptionTimings::decodingFiltering },
        { "decodingSampling", &TranscriptionTimings::decodingSampling },
        { "decodingFallback", &TranscriptionTimings::decodingFallback },
        { "decodingWindowing", &TranscriptionTimings::decodingWindowing },
        { "decodingKvCaching", &TranscriptionTimings::decodingKvCaching },
        { "decodingWordTimestamps", &TranscriptionTimings::decodingWordTimestamps },
        { "decodingNonPrediction", &TranscriptionTimings::decodingNonPrediction },
        { "totalAudioProcessingRuns", &TranscriptionTimings::totalAudioProcessingRuns },
        { "totalLogmelRuns", &TranscriptionTimings::totalLogmelRuns },
        { "totalEncodingRuns", &TranscriptionTimings::totalEncodingRuns },
        { "totalDecodingLoops", &TranscriptionTimings::totalDecodingLoops },
        { "totalKVUpdateRuns", &TranscriptionTimings::totalKVUpdateRuns },
        { "totalTimestampAlignmentRuns", &TranscriptionTimings::totalTimestampAlignmentRuns },
        { "totalDecodingFallbacks", &TranscriptionTimings::totalDecodingFallbacks },
        { "totalDecodingWindows", &TranscriptionTimings::totalDecodingWindows },
        { "fullPipeline", &TranscriptionTimings::fullPipeline },
    } };

double currentAbsoluteTime()
{
    // 978307200 s separate the Unix epoch from 2001-01-01.
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - 978307200.0;
}

template <typename J> void to_json(J& json, const TranscriptionTimings& timings)
{
    json = J::object();
    for (const auto& [name, member] : TranscriptionTimings::fields) {
        json[name] = timings.*member;
    }
}

template <typename J> void from_json(const J& json, TranscriptionTimings& timings)
{
    TranscriptionTimings decoded;
    for (const auto& [name, member] : TranscriptionTimings::fields) {
        decoded.*member = json.at(name).template get<double>();
    }
    timings = decoded;
}

template void to_json(nlohmann::json&, const TranscriptionTimings&);
template void to_json(nlohmann::ordered_json&, const TranscriptionTimings&);
template void from_json(const nlohmann::json&, TranscriptionTimings&);
template void from_json(const nlohmann::ordered_json&, TranscriptionTimings&);

} // namespace auralis
