#include "Auralis/Core/WordTiming.h"

#include "Auralis/Utilities/HashCombine.h"
#include "Auralis/Utilities/JSONCoding.h"

#include <nlohmann/json.hpp>

namespace auralis {

template <typename J> void to_json(J& j, const WordTiming& w)
{
    j = J::object();
    j["word"] = w.word;
    j["tokens"] = w.tokens;
    j["start"] = json::number(w.start);
    j["end"] = json::number(w.end);
    j["probability"] = json::number(w.probability);
}

template <typename J> void from_json(const J& j, WordTiming& w)
{
    WordTiming decoded;
    decoded.word = j.at("word").template get<std::string>();
    decoded.tokens = j.at("tokens").template get<std::vector<std::int64_t>>();
    decoded.start = j.at("start").template get<float>();
    decoded.end = j.at("end").template get<float>();
    decoded.probability = j.at("probability").template get<float>();
    w = std::move(decoded);
}

std::size_t hashValue(const WordTiming& w)
{
    std::size_t seed = 0;
    hashCombine(seed, w.word);
    for (const auto token : w.tokens) {
        hashCombine(seed, token);
    }
    hashCombine(seed, w.start);
    hashCombine(seed, w.end);
    hashCombine(seed, w.probability);
    return seed;
}

template void to_json(nlohmann::json&, const WordTiming&);
template void to_json(nlohmann::ordered_json&, const WordTiming&);
template void from_json(const nlohmann::json&, WordTiming&);
template void from_json(const nlohmann::ordered_json&, WordTiming&);

} // namespace auralis
