#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hushnote {

// Unicode helpers over UTF-8 text, backed by ICU. Invalid UTF-8 input is read with ICU's
// replacement rules (each bad byte becomes U+FFFD). All functions are pure and thread-safe.

// User-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view text);

// The last `limit` user-perceived characters of `text` (all of it when it has fewer).
std::string lastGraphemes(std::string_view text, std::size_t limit);

// Removes White_Space characters (line breaks included) from both ends.
std::string trimWhitespace(std::string_view text);

// Full Unicode lower-case mapping (root locale).
std::string lowercased(std::string_view text);

// True when `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);

// True when `haystack` contains a run of whole user-perceived characters canonically
// equivalent to `needle` (NFC vs NFD spellings of one character compare equal). Case-sensitive.
bool containsCanonically(std::string_view haystack, std::string_view needle);

// Replaces every match of an ICU regular expression by `replacement` (taken literally). A
// pattern that does not compile leaves the text unchanged and sets `*compiled` to false.
std::string replacingMatches(std::string_view text, std::string_view pattern, bool caseInsensitive,
    std::string_view replacement, bool* compiled = nullptr);

// The text of every match of an ICU regular expression, in order; empty when the pattern
// does not compile.
std::vector<std::string> matches(std::string_view text, std::string_view pattern);

} // namespace hushnote
