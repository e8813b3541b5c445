#include "Auralis/Core/Text/LanguageRecognizer.h"

#include "Auralis/Utilities/UTF8.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <map>

namespace auralis {

std::optional<std::string> LanguageRecognizer::dominantLanguage(std::string_view text)
{
    std::map<UScriptCode, std::size_t> letters;
    std::size_t kana = 0;
    for (const char32_t c : utf8::decodeLossy(text)) {
        if (!u_isalpha(static_cast<UChar32>(c))) {
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        auto script = uscript_getScript(static_cast<UChar32>(c), &status);
        if (U_FAILURE(status) || script == USCRIPT_COMMON || script == USCRIPT_INHERITED
            || script == USCRIPT_UNKNOWN) {
            continue;
        }
        // Japanese writes Han and kana together: count them as one script.
        if (script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA) {
            ++kana;
            script = USCRIPT_HAN;
        }
        ++letters[script];
    }
    if (letters.empty()) {
        return std::nullopt;
    }
    auto dominant = letters.begin();
    for (auto it = letters.begin(); it != letters.end(); ++it) {
        if (it->second > dominant->second) {
            dominant = it;
        }
    }
    switch (dominant->first) {
    case USCRIPT_HAN:
        return kana > 0 ? "ja" : "zh";
    case USCRIPT_THAI:
        return "th";
    case USCRIPT_LAO:
        return "lo";
    case USCRIPT_MYANMAR:
        return "my";
    default:
        return std::nullopt;
    }
}

} // namespace auralis
