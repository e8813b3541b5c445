#include "Auralis/Core/TranscriptionResult.h"

#include "Auralis/Utilities/JSONCoding.h"
#include "Auralis/Utilities/Logging.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace auralis {
namespace {

    std::string format(const char* pattern, double value)
    {
        char text[64];
        std::snprintf(text, sizeof text, pattern, value);
        return text;
    }

    std::string padded(std::string label, std::size_t width)
    {
        if (label.size() < width) {
            label.append(width - label.size(), ' ');
        }
        return label;
    }

} // namespace

TranscriptionResult::TranscriptionResult(std::string text,
    std::vector<TranscriptionSegment> segments, std::string language, TranscriptionTimings timings,
    std::optional<float> seekTime)
    : text_(std::move(text))
    , segments_(std::move(segments))
    , language_(std::move(language))
    , timings_(timings)
    , seekTime_(seekTime)
{
}

TranscriptionResult::TranscriptionResult(TranscriptionResultStruct value)
    : TranscriptionResult(std::move(value.text), std::move(value.segments),
        std::move(value.language), value.timings, value.seekTime)
{
}

std::vector<WordTiming> TranscriptionResult::allWords() const
{
    std::vector<WordTiming> words;
    for (const auto& segment : segments()) {
        if (segment.words) {
            words.insert(words.end(), segment.words->begin(), segment.words->end());
        }
    }
    return words;
}

TranscriptionResultStruct TranscriptionResult::snapshot() const
{
    return { text(), segments(), language(), timings(), seekTime() };
}

void TranscriptionResult::logSegments() const
{
    if (!Logging::isEnabled(LogLevel::debug)) {
        return;
    }
    const auto all = segments();
    for (std::size_t i = 0; i < all.size(); ++i) {
        Logging::debug("[Segment " + std::to_string(i) + "] [" + format("%.2f", all[i].start)
            + " --> " + format("%.2f", all[i].end) + "] " + all[i].text);
    }
}

void TranscriptionResult::logTimings() const
{
    if (Logging::isEnabled(LogLevel::info)) {
        Logging::info(timingsReport());
    }
}

std::string TranscriptionResult::timingsReport() const
{
    const auto t = timings();
    const double fullMs = t.fullPipeline * 1000.0;
    // Total time, runs, time per run and share of the whole pipeline, in milliseconds.
    auto stage = [&](const char* label, double seconds, double runs) {
        const double ms = seconds * 1000.0;
        const double perRun = runs > 0 ? ms / runs : 0.0;
        const double share = fullMs > 0 ? ms / fullMs * 100.0 : 0.0;
        char text[160];
        std::snprintf(text, sizeof text, "%10.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", ms, runs,
            perRun, share);
        return padded(label, 21) + text + "\n";
    };
    auto line = [](const char* label, const std::string& value) {
        return padded(label, 31) + value + "\n";
    };

    std::size_t totalTokens = 0;
    for (const auto& segment : segments()) {
        totalTokens += segment.tokens.size();
    }
    const double loops = t.totalDecodingLoops;
    std::string report = "---- Transcription Timings ----\n";
    report += stage("Audio Load:", t.audioLoading, 1);
    report += stage("Audio Processing:", t.audioProcessing, t.totalAudioProcessingRuns);
    report += stage("Mels:", t.logmels, t.totalLogmelRuns);
    report += stage("Encoding:", t.encoding, t.totalEncodingRuns);
    report += stage("Matrices Init:", t.decodingInit, 1);
    report += stage("Decoding:", t.decodingPredictions, loops);
    report += stage("Non-inference:", t.decodingNonPrediction, loops);
    report += stage("- Logit Filtering:", t.decodingFiltering, loops);
    report += stage("- Sampling:", t.decodingSampling, loops);
    report += stage("- Kv Caching:", t.decodingKvCaching, t.totalKVUpdateRuns);
    report += stage("- Word Timestamps:", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    report += stage("- Windowing:", t.decodingWindowing, t.totalDecodingWindows);
    report += stage("Fallbacks:", t.decodingFallback, t.totalDecodingFallbacks);
    report += stage("Decoding Full Loop:", t.decodingLoop, loops);
    report += std::string(31, '-') + "\n";
    report += line("Model Load Time:", format("%.2f", t.modelLoading) + " seconds");
    report += line("- Prewarm:", format("%.2f", t.prewarmLoadTime) + " seconds");
    report += line("- Encoder:", format("%.2f", t.encoderLoadTime) + " seconds");
    report += line("- Decoder:", format("%.2f", t.decoderLoadTime) + " seconds");
    report += line("- Tokenizer:", format("%.2f", t.tokenizerLoadTime) + " seconds");
    report += line("Inference Duration (Global):", format("%.2f", t.fullPipeline) + " seconds");
    report += line("- Decoding Loop (Avg/window):",
        format("%.2f", t.totalDecodingWindows > 0 ? t.decodingLoop / t.totalDecodingWindows : 0.0)
            + " seconds");
    report += line("- Audio Windows:", format("%.0f", t.totalAudioProcessingRuns));
    report += line(
        "Time to first token:", format("%.2f", t.firstTokenTime - t.pipelineStart) + " seconds");
    report += line("Total Tokens:", std::to_string(totalTokens));
    report += line("Tokens per Second:", format("%.2f", t.tokensPerSecond()) + " tok/s");
    report += line("Real Time Factor:", format("%.3f", t.realTimeFactor()));
    report += line("Speed Factor:", format("%.3f", t.speedFactor()));
    report += line("Fallbacks:", format("%.1f", t.totalDecodingFallbacks));
    return report;
}

template <typename J> void to_json(J& j, const TranscriptionResultStruct& r)
{
    j = J::object();
    j["text"] = r.text;
    j["segments"] = r.segments;
    j["language"] = r.language;
    j["timings"] = r.timings;
    json::putIfPresent(j, "seekTime", r.seekTime);
}

template <typename J> void from_json(const J& j, TranscriptionResultStruct& r)
{
    TranscriptionResultStruct decoded;
    decoded.text = j.at("text").template get<std::string>();
    decoded.segments = j.at("segments").template get<std::vector<TranscriptionSegment>>();
    decoded.language = j.at("language").template get<std::string>();
    decoded.timings = j.at("timings").template get<TranscriptionTimings>();
    decoded.seekTime = json::optionalValue<float>(j, "seekTime");
    r = std::move(decoded);
}

template <typename J> void to_json(J& j, const TranscriptionResult& r) { to_json(j, r.snapshot()); }

template <typename J> std::shared_ptr<TranscriptionResult> transcriptionResultFromJson(const J& j)
{
    return std::make_shared<TranscriptionResult>(j.template get<TranscriptionResultStruct>());
}

template void to_json(nlohmann::json&, const TranscriptionResultStruct&);
template void to_json(nlohmann::ordered_json&, const TranscriptionResultStruct&);
template void from_json(const nlohmann::json&, TranscriptionResultStruct&);
template void from_json(const nlohmann::ordered_json&, TranscriptionResultStruct&);
template void to_json(nlohmann::json&, const TranscriptionResult&);
template void to_json(nlohmann::ordered_json&, const TranscriptionResult&);
template std::shared_ptr<TranscriptionResult> transcriptionResultFromJson(const nlohmann::json&);
template std::shared_ptr<TranscriptionResult> transcriptionResultFromJson(
    const nlohmann::ordered_json&);

} // namespace auralis
