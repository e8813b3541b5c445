#include "HushnoteCore/SpokenCorrectionNormalizer.h"

#include "HushnoteCore/UnicodeText.h"

#include <array>
#include <string_view>

namespace hushnote {

namespace {

// In order: a sentence-opening "scratch that" takes the sentence before it along; one inside
// a sentence takes the sentence start up to itself; any left over goes on its own.
constexpr std::array<std::string_view, 3> kCorrectionPatterns{
    R"((?:^|(?<=[.!?])\s+)[^.!?]+[.!?]\s*(?:actually\s*,?\s*)?scratch\s+that[.!?]?\s*)",
    R"((?:^|(?<=[.!?])\s+)[^.!?]*?\b(?:actually\s*,?\s*)?scratch\s+that\b[,.!?]?\s*)",
    R"(\b(?:actually\s*,?\s*)?scratch\s+that\b[,.!?]?\s*)",
};

} // namespace

std::string SpokenCorrectionNormalizer::normalize(const std::string& text)
{
    std::string current = text;
    for (const auto pattern : kCorrectionPatterns) {
        current = replacingMatches(current, pattern, true, " ");
    }
    current = replacingMatches(current, "[ \\t]{2,}", false, " ");
    return trimWhitespace(current);
}

} // namespace hushnote
