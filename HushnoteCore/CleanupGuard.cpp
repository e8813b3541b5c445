#include "HushnoteCore/CleanupGuard.h"

#include "HushnoteCore/CleanupGuardFailure.h"
#include "HushnoteCore/UnicodeText.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <set>
#include <string_view>
#include <unordered_map>

namespace hushnote {

namespace {

constexpr std::array<std::string_view, 5> kProtectedPatterns{
    R"(\bhttps?://[^\s]+)",
    R"(\b[\w.+-]+@[\w.-]+\.[A-Za-z]{2,}\b)",
    R"(\b\d+(?:[.,:/-]\d+)*\b)",
    R"(\b[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)+\b)",
    "`[^`]+`",
};

constexpr std::array<std::string_view, 6> kFillerWords{"ah", "er", "erm", "hmm", "uh", "um"};

bool isWordCharacter(UChar32 c)
{
    return u_hasBinaryProperty(c, UCHAR_ALPHABETIC)
        || u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

} // namespace

std::string CleanupGuard::validate(const std::string& raw, const std::string& cleaned) const
{
    const std::string output = trimWhitespace(cleaned);
    if (output.empty()) {
        throw CleanupGuardFailure::emptyOutput();
    }

    const double rawLength = static_cast<double>(std::max<std::size_t>(graphemeCount(raw), 1));
    const double ratio = static_cast<double>(graphemeCount(output)) / rawLength;
    if (ratio > maximumGrowthRatio) {
        throw CleanupGuardFailure::outputTooLong();
    }
    if (ratio < minimumRetentionRatio) {
        throw CleanupGuardFailure::outputTooShort();
    }

    const auto rawWords = meaningfulWords(raw);
    if (!rawWords.empty()) {
        const auto retained = static_cast<double>(retainedWordCount(rawWords, meaningfulWords(output)));
        if (retained / static_cast<double>(rawWords.size()) < minimumMeaningfulWordRetentionRatio) {
            throw CleanupGuardFailure::tooManyWordsChanged();
        }
    }

    for (const auto& token : protectedTokens(raw)) {
        if (!containsCanonically(output, token)) {
            throw CleanupGuardFailure::protectedTokenMissing(token);
        }
    }
    return output;
}

std::vector<std::string> CleanupGuard::protectedTokens(const std::string& text)
{
    std::set<std::string> tokens;
    for (const auto pattern : kProtectedPatterns) {
        for (auto& match : matches(text, pattern)) {
            tokens.insert(std::move(match));
        }
    }
    return {tokens.begin(), tokens.end()};
}

std::vector<std::string> CleanupGuard::meaningfulWords(const std::string& text)
{
    auto lower = icu::UnicodeString::fromUTF8(text);
    lower.toLower(icu::Locale::getRoot());

    std::vector<std::string> words;
    icu::UnicodeString word;
    auto flush = [&] {
        if (word.isEmpty()) {
            return;
        }
        std::string utf8;
        word.toUTF8String(utf8);
        word.remove();
        if (std::find(kFillerWords.begin(), kFillerWords.end(), utf8) == kFillerWords.end()) {
            words.push_back(std::move(utf8));
        }
    };
    for (int32_t i = 0; i < lower.length(); i = lower.moveIndex32(i, 1)) {
        const UChar32 c = lower.char32At(i);
        if (isWordCharacter(c)) {
            word.append(c);
        } else {
            flush();
        }
    }
    flush();
    return words;
}

std::size_t CleanupGuard::retainedWordCount(
    const std::vector<std::string>& rawWords, const std::vector<std::string>& outputWords)
{
    std::unordered_map<std::string, std::size_t> available;
    for (const auto& word : outputWords) {
        ++available[word];
    }
    std::size_t retained = 0;
    for (const auto& word : rawWords) {
        auto found = available.find(word);
        if (found != available.end() && found->second > 0) {
            --found->second;
            ++retained;
        }
    }
    return retained;
}

} // namespace hushnote
