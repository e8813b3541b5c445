#include "Auralis/Core/TranscriptionSegment.h"

#include "Auralis/Utilities/HashCombine.h"
#include "Auralis/Utilities/JSONCoding.h"

#include <nlohmann/json.hpp>

namespace auralis {

template <typename J> void to_json(J& j, const TranscriptionSegment& s)
{
    j = J::object();
    j["id"] = s.id;
    j["seek"] = s.seek;
    j["start"] = json::number(s.start);
    j["end"] = json::number(s.end);
    j["text"] = s.text;
    j["tokens"] = s.tokens;
    j["tokenLogProbs"] = json::tokenLogProbsToJson<J>(s.tokenLogProbs);
    j["temperature"] = json::number(s.temperature);
    j["avgLogprob"] = json::number(s.avgLogprob);
    j["compressionRatio"] = json::number(s.compressionRatio);
    j["noSpeechProb"] = json::number(s.noSpeechProb);
    json::putIfPresent(j, "words", s.words);
}

template <typename J> void from_json(const J& j, TranscriptionSegment& s)
{
    TranscriptionSegment decoded;
    decoded.id = j.at("id").template get<std::int64_t>();
    decoded.seek = j.at("seek").template get<std::int64_t>();
    decoded.start = j.at("start").template get<float>();
    decoded.end = j.at("end").template get<float>();
    decoded.text = j.at("text").template get<std::string>();
    decoded.tokens = j.at("tokens").template get<std::vector<std::int64_t>>();
    decoded.tokenLogProbs = json::tokenLogProbsFromJson(j.at("tokenLogProbs"));
    decoded.temperature = j.at("temperature").template get<float>();
    decoded.avgLogprob = j.at("avgLogprob").template get<float>();
    decoded.compressionRatio = j.at("compressionRatio").template get<float>();
    decoded.noSpeechProb = j.at("noSpeechProb").template get<float>();
    decoded.words = json::optionalValue<std::vector<WordTiming>>(j, "words");
    s = std::move(decoded);
}

std::size_t hashValue(const TranscriptionSegment& s)
{
    std::size_t seed = 0;
    hashCombine(seed, s.id);
    hashCombine(seed, s.seek);
    hashCombine(seed, s.start);
    hashCombine(seed, s.end);
    hashCombine(seed, s.text);
    for (const auto token : s.tokens) {
        hashCombine(seed, token);
    }
    for (const auto& entry : s.tokenLogProbs) {
        for (const auto& [token, logProb] : entry) {
            hashCombine(seed, token);
            hashCombine(seed, logProb);
        }
    }
    hashCombine(seed, s.temperature);
    hashCombine(seed, s.avgLogprob);
    hashCombine(seed, s.compressionRatio);
    hashCombine(seed, s.noSpeechProb);
    hashCombine(seed, s.words.has_value());
    if (s.words) {
        for (const auto& word : *s.words) {
            hashCombine(seed, hashValue(word));
        }
    }
    return seed;
}

template void to_json(nlohmann::json&, const TranscriptionSegment&);
template void to_json(nlohmann::ordered_json&, const TranscriptionSegment&);
template void from_json(const nlohmann::json&, TranscriptionSegment&);
template void from_json(const nlohmann::ordered_json&, TranscriptionSegment&);

} // namespace auralis
