#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace auralis {

// A general-purpose text tokenizer: text to ids and back, token text to id and back.
// Implementations are immutable after creation and safe to use from several threads.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    virtual std::vector<std::int64_t> encode(std::string_view text) const = 0;
    // Unknown ids contribute nothing; the result is valid UTF-8.
    virtual std::string decode(const std::vector<std::int64_t>& tokens) const = 0;
    virtual std::optional<std::int64_t> convertTokenToId(std::string_view token) const = 0;
    virtual std::optional<std::string> convertIdToToken(std::int64_t id) const = 0;
};

} // namespace auralis
