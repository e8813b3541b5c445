#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace auralis {

// Finds the dominant language of a text from the Unicode scripts of its letters (ICU). Only
// scripts that name a language and are written without spaces between words are mapped:
// Han "zh" (Han with any kana "ja"), Hiragana and Katakana "ja", Thai "th", Lao "lo",
// Myanmar "my". Other scripts, and texts without letters, give nullopt. Stateless.
class LanguageRecognizer {
public:
    static std::optional<std::string> dominantLanguage(std::string_view text);
};

} // namespace auralis
