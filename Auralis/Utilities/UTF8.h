#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace auralis::utf8 {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends the UTF-8 form of `codePoint` (U+FFFD for surrogates and values past U+10FFFF).
void append(std::string& out, char32_t codePoint);

// The code points of `bytes`; every maximal ill-formed subsequence becomes one U+FFFD (the
// Unicode "maximal subpart" practice, as the common lossy decoders do).
std::u32string decodeLossy(std::string_view bytes);

// `bytes` made valid UTF-8 the same way.
std::string sanitize(std::string_view bytes);

std::string encode(std::u32string_view codePoints);

} // namespace auralis::utf8
