#include "HushnoteCore/UnicodeText.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

namespace hushnote {

namespace {

icu::UnicodeString toUnicode(std::string_view text)
{
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text)
{
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::unique_ptr<icu::BreakIterator> characterBreaks(const icu::UnicodeString& text)
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        return nullptr;
    }
    breaks->setText(text);
    return breaks;
}

} // namespace

std::size_t graphemeCount(std::string_view text)
{
    const auto unicode = toUnicode(text);
    auto breaks = characterBreaks(unicode);
    if (!breaks) {
        return static_cast<std::size_t>(unicode.countChar32());
    }
    std::size_t count = 0;
    breaks->first();
    while (breaks->next() != icu::BreakIterator::DONE) {
        ++count;
    }
    return count;
}

std::string lastGraphemes(std::string_view text, std::size_t limit)
{
    const auto unicode = toUnicode(text);
    auto breaks = characterBreaks(unicode);
    if (!breaks) {
        return std::string(text);
    }
    std::size_t seen = 0;
    int32_t start = breaks->last();
    while (seen < limit) {
        const int32_t previous = breaks->previous();
        if (previous == icu::BreakIterator::DONE) {
            break;
        }
        start = previous;
        ++seen;
    }
    return toUTF8(unicode.tempSubString(start));
}

std::string trimWhitespace(std::string_view text)
{
    const auto unicode = toUnicode(text);
    int32_t start = 0;
    int32_t end = unicode.length();
    while (start < end && u_isUWhiteSpace(unicode.char32At(start))) {
        start = unicode.moveIndex32(start, 1);
    }
    while (end > start) {
        const int32_t previous = unicode.moveIndex32(end, -1);
        if (!u_isUWhiteSpace(unicode.char32At(previous))) {
            break;
        }
        end = previous;
    }
    return toUTF8(unicode.tempSubStringBetween(start, end));
}

std::string lowercased(std::string_view text)
{
    auto unicode = toUnicode(text);
    unicode.toLower(icu::Locale::getRoot());
    return toUTF8(unicode);
}

bool isValidUTF8(std::string_view text)
{
    int32_t offset = 0;
    const auto length = static_cast<int32_t>(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    while (offset < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

bool containsCanonically(std::string_view haystack, std::string_view needle)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return haystack.find(needle) != std::string_view::npos;
    }
    const auto text = nfc->normalize(toUnicode(haystack), status);
    const auto token = nfc->normalize(toUnicode(needle), status);
    if (U_FAILURE(status)) {
        return haystack.find(needle) != std::string_view::npos;
    }
    if (token.isEmpty()) {
        return true;
    }
    auto breaks = characterBreaks(text);
    // A match counts only when it starts and ends between user-perceived characters: "e" is
    // not kept by an "é" written as e + combining accent.
    for (int32_t at = text.indexOf(token); at >= 0; at = text.indexOf(token, at + 1)) {
        const int32_t end = at + token.length();
        if (!breaks || (breaks->isBoundary(at) && breaks->isBoundary(end))) {
            return true;
        }
    }
    return false;
}

std::string replacingMatches(std::string_view text, std::string_view pattern, bool caseInsensitive,
    std::string_view replacement, bool* compiled)
{
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> regex(icu::RegexPattern::compile(
        toUnicode(pattern), caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, parseError, status));
    if (U_FAILURE(status) || !regex) {
        if (compiled) {
            *compiled = false;
        }
        return std::string(text);
    }
    const auto input = toUnicode(text);
    std::unique_ptr<icu::RegexMatcher> matcher(regex->matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        if (compiled) {
            *compiled = false;
        }
        return std::string(text);
    }
    // Escape the replacement so "$" and "\" stay literal.
    const auto raw = toUnicode(replacement);
    icu::UnicodeString literal;
    for (int32_t i = 0; i < raw.length(); ++i) {
        const char16_t unit = raw.charAt(i);
        if (unit == u'$' || unit == u'\\') {
            literal.append(u'\\');
        }
        literal.append(unit);
    }
    const auto result = matcher->replaceAll(literal, status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    if (compiled) {
        *compiled = true;
    }
    return toUTF8(result);
}

std::vector<std::string> matches(std::string_view text, std::string_view pattern)
{
    std::vector<std::string> found;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> regex(
        icu::RegexPattern::compile(toUnicode(pattern), 0, parseError, status));
    if (U_FAILURE(status) || !regex) {
        return found;
    }
    const auto input = toUnicode(text);
    std::unique_ptr<icu::RegexMatcher> matcher(regex->matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        return found;
    }
    while (matcher->find(status) && U_SUCCESS(status)) {
        found.push_back(toUTF8(matcher->group(status)));
    }
    return found;
}

} // namespace hushnote
