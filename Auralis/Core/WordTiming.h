#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace auralis {

// One word of a segment with its time span in seconds from the start of the audio.
struct WordTiming {
    // Includes any leading space and merged punctuation.
    std::string word {};
    std::vector<std::int64_t> tokens {};
    float start = 0;
    float end = 0;
    // Mean token probability of the word.
    float probability = 0;

    float duration() const { return end - start; }

    bool operator==(const WordTiming&) const = default;
};

// Keys "word", "tokens", "start", "end", "probability".
template <typename J> void to_json(J& json, const WordTiming& word);
template <typename J> void from_json(const J& json, WordTiming& word);

std::size_t hashValue(const WordTiming& word);

} // namespace auralis

template <> struct std::hash<auralis::WordTiming> {
    std::size_t operator()(const auralis::WordTiming& word) const
    {
        return auralis::hashValue(word);
    }
};
