#pragma once

#include <string>
#include <vector>

namespace hushnote {

// Accepts or rejects one provider's output against the transcript it was given. A plain
// value; validate() is pure and may run on any thread. Logs nothing.
class CleanupGuard {
public:
    CleanupGuard(double maximumGrowthRatio, double minimumRetentionRatio, double minimumMeaningfulWordRetentionRatio)
        : maximumGrowthRatio(maximumGrowthRatio)
        , minimumRetentionRatio(minimumRetentionRatio)
        , minimumMeaningfulWordRetentionRatio(minimumMeaningfulWordRetentionRatio)
    {
    }

    // Returns `cleaned` trimmed of white space, or throws CleanupGuardFailure with the first
    // verdict in check order: empty, too long, too short, too many words changed, missing token.
    std::string validate(const std::string& raw, const std::string& cleaned) const;

    // The sorted, duplicate-free web addresses, e-mail addresses, numbers, dotted identifiers
    // and code spans of `text`.
    static std::vector<std::string> protectedTokens(const std::string& text);

    // Characters (user-perceived) of output per character of transcript.
    double maximumGrowthRatio;
    double minimumRetentionRatio;
    // Share of the transcript's meaningful words that must survive.
    double minimumMeaningfulWordRetentionRatio;

private:
    static std::vector<std::string> meaningfulWords(const std::string& text);
    static std::size_t retainedWordCount(const std::vector<std::string>& rawWords,
        const std::vector<std::string>& outputWords);
};

} // namespace hushnote
