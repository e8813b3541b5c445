#pragma once

#include "Auralis/Core/Text/Tokenizer.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace auralis {

// A byte-level byte-pair tokenizer built from a Hugging Face "tokenizer.json": the vocabulary,
// the ranked merges, the added tokens, the GPT-2 byte-to-character table and the
// pre-tokenizer's regular expression (matched with ICU). Added tokens found in the text become
// their ids directly. Loading is strict: anything in the file this tokenizer does not
// implement (another model type, a normaliser, unsupported token flags) fails the load rather
// than tokenising differently. Immutable after creation; safe to share between threads.
class BPETokenizer final : public Tokenizer {
public:
    // Reads `folder`/tokenizer.json. Throws TokenizerError.
    static std::unique_ptr<BPETokenizer> fromFolder(const std::filesystem::path& folder);
    // Parses the text of a tokenizer.json. Throws TokenizerError (malformedFile,
    // unsupportedFeature).
    static std::unique_ptr<BPETokenizer> fromJson(std::string_view json);

    ~BPETokenizer() override;

    std::vector<std::int64_t> encode(std::string_view text) const override;
    // Byte-level tokens map back to bytes and added tokens to their text; the bytes of the
    // whole sequence are then decoded as UTF-8 with U+FFFD for each ill-formed subsequence.
    std::string decode(const std::vector<std::int64_t>& tokens) const override;
    // Token texts in their stored form: byte-level ("ĠHello") or an added token's content.
    std::optional<std::int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(std::int64_t id) const override;

    // One more than the largest id.
    std::int64_t vocabularySize() const { return static_cast<std::int64_t>(idToToken_.size()); }

    // The pre-tokens of `text` (no added-token handling), as the regex splits them.
    std::vector<std::string> preTokenize(std::string_view text) const;

private:
    struct Merge {
        std::int32_t rank;
        std::int32_t result;
    };
    struct AddedToken {
        std::string content;
        std::int64_t id;
    };
    struct PreTokenizer;

    BPETokenizer();

    void encodeWord(std::string_view bytes, std::vector<std::int64_t>& out) const;
    void encodeOrdinary(std::string_view text, std::vector<std::int64_t>& out) const;

    // Lets string maps be searched with a string_view, without building a std::string.
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const
        {
            return std::hash<std::string_view> {}(text);
        }
    };
    using StringMap = std::unordered_map<std::string, std::int64_t, StringHash, std::equal_to<>>;

    StringMap vocab_;
    std::vector<std::optional<std::string>> idToToken_;
    std::vector<bool> isAdded_;
    std::unordered_map<std::uint64_t, Merge> merges_;
    StringMap addedTokens_;
    // Added tokens by their first byte, longest first, for leftmost-longest matching.
    std::vector<std::vector<AddedToken>> addedByFirstByte_;
    // Vocabulary id of each single byte's character; -1 when the vocabulary lacks it.
    std::int64_t byteIds_[256];
    bool ignoreMerges_ = false;
    std::unique_ptr<PreTokenizer> preTokenizer_;
};

// The GPT-2 byte-to-character table: printable Latin-1 bytes map to themselves, the other 68
// bytes in order to U+0100 onwards.
char32_t byteToUnicode(unsigned char byte);
// The inverse; nullopt for characters outside the table.
std::optional<unsigned char> unicodeToByte(char32_t character);

} // namespace auralis
