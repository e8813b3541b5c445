#pragma once

#include "Auralis/Core/Text/TokenIdentifiers.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace auralis {

// Words and, for each, the ids that spell it.
struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<std::int64_t>> wordTokens;

    bool operator==(const WordTokens&) const = default;
};

// What the decoder, filters, transcription loop and segment seeker need of a tokenizer.
// Implementations are immutable after creation and may be shared between threads.
class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;

    virtual std::vector<std::int64_t> encode(std::string_view text) const = 0;
    virtual std::string decode(const std::vector<std::int64_t>& tokens) const = 0;
    virtual std::optional<std::int64_t> convertTokenToId(std::string_view token) const = 0;
    virtual std::optional<std::string> convertIdToToken(std::int64_t id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    virtual const std::set<std::int64_t>& allLanguageTokens() const = 0;
    // One entry per word: split on character boundaries for languages written without
    // spaces, on spaces otherwise.
    virtual WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const = 0;
};

} // namespace auralis
