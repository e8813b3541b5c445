#include "Auralis/Core/DecodingOptions.h"

#include "Auralis/Utilities/JSONCoding.h"
#include "Auralis/Utilities/Rounding.h"

#include <nlohmann/json.hpp>

namespace auralis {

const char* toString(DecodingTask task)
{
    switch (task) {
    case DecodingTask::transcribe:
        return "transcribe";
    case DecodingTask::translate:
        return "translate";
    }
    return "transcribe";
}

const char* toString(ChunkingStrategy strategy)
{
    switch (strategy) {
    case ChunkingStrategy::none:
        return "none";
    case ChunkingStrategy::vad:
        return "vad";
    }
    return "none";
}

DecodingOptions::DecodingOptions(const DecodingOptionsArguments& a)
    : verbose(a.verbose)
    , task(a.task)
    , language(a.language)
    , temperature(a.temperature)
    , temperatureIncrementOnFallback(a.temperatureIncrementOnFallback)
    , temperatureFallbackCount(a.temperatureFallbackCount)
    , sampleLength(a.sampleLength)
    , topK(a.topK)
    , usePrefillPrompt(a.usePrefillPrompt)
    , detectLanguage(a.detectLanguage.value_or(!a.usePrefillPrompt))
    , skipSpecialTokens(a.skipSpecialTokens)
    , withoutTimestamps(a.withoutTimestamps)
    , wordTimestamps(a.wordTimestamps)
    , maxInitialTimestamp(a.maxInitialTimestamp)
    , maxWindowSeek(a.maxWindowSeek)
    , clipTimestamps(a.clipTimestamps)
    , windowClipTime(a.windowClipTime)
    , promptTokens(a.promptTokens)
    , prefixTokens(a.prefixTokens)
    , suppressBlank(a.suppressBlank)
    , suppressTokens(a.suppressTokens.value_or(std::vector<std::int64_t> {}))
    , compressionRatioThreshold(a.compressionRatioThreshold)
    , logProbThreshold(a.logProbThreshold)
    , firstTokenLogProbThreshold(a.firstTokenLogProbThreshold)
    , noSpeechThreshold(a.noSpeechThreshold)
    , concurrentWorkerCount(a.concurrentWorkerCount.value_or(16))
    , chunkingStrategy(a.chunkingStrategy)
{
}

std::vector<std::pair<std::int64_t, std::int64_t>> DecodingOptions::prepareSeekClips(
    std::int64_t contentFrames) const
{
    std::vector<std::int64_t> positions;
    positions.reserve(clipTimestamps.size() + 1);
    for (const float seconds : clipTimestamps) {
        positions.push_back(static_cast<std::int64_t>(
            roundedToDecimalPlaces(static_cast<double>(seconds) * Constants::sampleRate, 0)));
    }
    if (positions.empty()) {
        positions.push_back(0);
    }
    if (positions.size() % 2 == 1) {
        positions.push_back(contentFrames);
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> clips;
    for (std::size_t i = 0; i + 1 < positions.size(); i += 2) {
        clips.emplace_back(positions[i], positions[i + 1]);
    }
    return clips;
}

template <typename J> void to_json(J& json, const DecodingTask& task)
{
    json = J::object();
    json[toString(task)] = J::object();
}

template <typename J> void from_json(const J& json, DecodingTask& task)
{
    if (!json.is_object() || json.size() != 1) {
        throw nlohmann::json::type_error::create(302, "a task is an object with one key", &json);
    }
    for (const auto candidate : kAllDecodingTasks) {
        if (json.contains(toString(candidate))) {
            task = candidate;
            return;
        }
    }
    throw nlohmann::json::type_error::create(302, "unknown decoding task " + json.dump(), &json);
}

template <typename J> void to_json(J& json, const ChunkingStrategy& strategy)
{
    json = toString(strategy);
}

template <typename J> void from_json(const J& json, ChunkingStrategy& strategy)
{
    const auto text = json.template get<std::string>();
    for (const auto candidate : kAllChunkingStrategies) {
        if (text == toString(candidate)) {
            strategy = candidate;
            return;
        }
    }
    throw nlohmann::json::type_error::create(302, "unknown chunking strategy " + text, &json);
}

template <typename J> void to_json(J& j, const DecodingOptions& o)
{
    j = J::object();
    j["verbose"] = o.verbose;
    j["task"] = o.task;
    json::putIfPresent(j, "language", o.language);
    j["temperature"] = json::number(o.temperature);
    j["temperatureIncrementOnFallback"] = json::number(o.temperatureIncrementOnFallback);
    j["temperatureFallbackCount"] = o.temperatureFallbackCount;
    j["sampleLength"] = o.sampleLength;
    j["topK"] = o.topK;
    j["usePrefillPrompt"] = o.usePrefillPrompt;
    j["detectLanguage"] = o.detectLanguage;
    j["skipSpecialTokens"] = o.skipSpecialTokens;
    j["withoutTimestamps"] = o.withoutTimestamps;
    j["wordTimestamps"] = o.wordTimestamps;
    json::putIfPresent(j, "maxInitialTimestamp", o.maxInitialTimestamp);
    json::putIfPresent(j, "maxWindowSeek", o.maxWindowSeek);
    j["clipTimestamps"] = json::floatArray<J>(o.clipTimestamps);
    j["windowClipTime"] = json::number(o.windowClipTime);
    json::putIfPresent(j, "promptTokens", o.promptTokens);
    json::putIfPresent(j, "prefixTokens", o.prefixTokens);
    j["suppressBlank"] = o.suppressBlank;
    j["suppressTokens"] = o.suppressTokens;
    json::putIfPresent(j, "compressionRatioThreshold", o.compressionRatioThreshold);
    json::putIfPresent(j, "logProbThreshold", o.logProbThreshold);
    json::putIfPresent(j, "firstTokenLogProbThreshold", o.firstTokenLogProbThreshold);
    json::putIfPresent(j, "noSpeechThreshold", o.noSpeechThreshold);
    j["concurrentWorkerCount"] = o.concurrentWorkerCount;
    json::putIfPresent(j, "chunkingStrategy", o.chunkingStrategy);
}

template <typename J> void from_json(const J& j, DecodingOptions& o)
{
    DecodingOptions decoded;
    decoded.verbose = j.at("verbose").template get<bool>();
    decoded.task = j.at("task").template get<DecodingTask>();
    decoded.language = json::optionalValue<std::string>(j, "language");
    decoded.temperature = j.at("temperature").template get<float>();
    decoded.temperatureIncrementOnFallback
        = j.at("temperatureIncrementOnFallback").template get<float>();
    decoded.temperatureFallbackCount
        = j.at("temperatureFallbackCount").template get<std::int64_t>();
    decoded.sampleLength = j.at("sampleLength").template get<std::int64_t>();
    decoded.topK = j.at("topK").template get<std::int64_t>();
    decoded.usePrefillPrompt = j.at("usePrefillPrompt").template get<bool>();
    decoded.detectLanguage = j.at("detectLanguage").template get<bool>();
    decoded.skipSpecialTokens = j.at("skipSpecialTokens").template get<bool>();
    decoded.withoutTimestamps = j.at("withoutTimestamps").template get<bool>();
    decoded.wordTimestamps = j.at("wordTimestamps").template get<bool>();
    decoded.maxInitialTimestamp = json::optionalValue<float>(j, "maxInitialTimestamp");
    decoded.maxWindowSeek = json::optionalValue<std::int64_t>(j, "maxWindowSeek");
    decoded.clipTimestamps = j.at("clipTimestamps").template get<std::vector<float>>();
    decoded.windowClipTime = j.at("windowClipTime").template get<float>();
    decoded.promptTokens = json::optionalValue<std::vector<std::int64_t>>(j, "promptTokens");
    decoded.prefixTokens = json::optionalValue<std::vector<std::int64_t>>(j, "prefixTokens");
    decoded.suppressBlank = j.at("suppressBlank").template get<bool>();
    decoded.suppressTokens = j.at("suppressTokens").template get<std::vector<std::int64_t>>();
    decoded.compressionRatioThreshold = json::optionalValue<float>(j, "compressionRatioThreshold");
    decoded.logProbThreshold = json::optionalValue<float>(j, "logProbThreshold");
    decoded.firstTokenLogProbThreshold
        = json::optionalValue<float>(j, "firstTokenLogProbThreshold");
    decoded.noSpeechThreshold = json::optionalValue<float>(j, "noSpeechThreshold");
    decoded.concurrentWorkerCount = j.at("concurrentWorkerCount").template get<std::int64_t>();
    decoded.chunkingStrategy = json::optionalValue<ChunkingStrategy>(j, "chunkingStrategy");
    o = std::move(decoded);
}

template void to_json(nlohmann::json&, const DecodingOptions&);
template void to_json(nlohmann::ordered_json&, const DecodingOptions&);
template void from_json(const nlohmann::json&, DecodingOptions&);
template void from_json(const nlohmann::ordered_json&, DecodingOptions&);
template void to_json(nlohmann::json&, const DecodingTask&);
template void to_json(nlohmann::ordered_json&, const DecodingTask&);
template void from_json(const nlohmann::json&, DecodingTask&);
template void from_json(const nlohmann::ordered_json&, DecodingTask&);
template void to_json(nlohmann::json&, const ChunkingStrategy&);
template void to_json(nlohmann::ordered_json&, const ChunkingStrategy&);
template void from_json(const nlohmann::json&, ChunkingStrategy&);
template void from_json(const nlohmann::ordered_json&, ChunkingStrategy&);

} // namespace auralis
