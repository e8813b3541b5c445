#include "Auralis/Core/Text/BPETokenizer.h"

#include "Auralis/Core/Text/TokenizerError.h"
#include "Auralis/Utilities/UTF8.h"

#include <nlohmann/json.hpp>
#include <unicode/regex.h>
#include <unicode/utext.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <limits>
#include <queue>
#include <sstream>

namespace auralis {
namespace {

    // The GPT-2 split. `\s` is spelled as the White_Space property: ICU's `\s` leaves out a few
    // separators (U+000B, U+0085) that the reference tokenizers count as white space.
    constexpr const char* kByteLevelPattern
        = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\p{White_Space}\p{L}\p{N}]+|\p{White_Space}+(?!\P{White_Space})|\p{White_Space}+)";

    struct ByteTables {
        std::array<char32_t, 256> toUnicode {};
        std::array<std::int16_t, 0x144> toByte {};

        ByteTables()
        {
            toByte.fill(-1);
            char32_t next = 0x100;
            for (int b = 0; b < 256; ++b) {
                const bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC)
                    || (b >= 0xAE && b <= 0xFF);
                toUnicode[b] = printable ? static_cast<char32_t>(b) : next++;
                toByte[toUnicode[b]] = static_cast<std::int16_t>(b);
            }
        }
    };

    const ByteTables& byteTables()
    {
        static const ByteTables tables;
        return tables;
    }

    [[noreturn]] void malformed(const std::string& what)
    {
        throw TokenizerError(
            TokenizerError::Kind::malformedFile, "tokenizer.json is malformed: " + what);
    }

    [[noreturn]] void unsupported(const std::string& what)
    {
        throw TokenizerError(TokenizerError::Kind::unsupportedFeature,
            "tokenizer.json uses an unsupported feature: " + what);
    }

    std::uint64_t pairKey(std::int64_t left, std::int64_t right)
    {
        return (static_cast<std::uint64_t>(left) << 32) | static_cast<std::uint32_t>(right);
    }

    // The byte-level spelling of raw bytes.
    std::string toByteLevel(std::string_view bytes)
    {
        std::string out;
        out.reserve(bytes.size() * 2);
        for (const char byte : bytes) {
            utf8::append(out, byteToUnicode(static_cast<unsigned char>(byte)));
        }
        return out;
    }

    std::string stringField(const nlohmann::json& object, const char* key)
    {
        const auto it = object.find(key);
        if (it == object.end() || it->is_null()) {
            return {};
        }
        if (!it->is_string()) {
            malformed(std::string("\"") + key + "\" is not a string");
        }
        return it->get<std::string>();
    }

    bool boolField(const nlohmann::json& object, const char* key)
    {
        const auto it = object.find(key);
        if (it == object.end() || it->is_null()) {
            return false;
        }
        if (!it->is_boolean()) {
            malformed(std::string("\"") + key + "\" is not a boolean");
        }
        return it->get<bool>();
    }

} // namespace

char32_t byteToUnicode(unsigned char byte) { return byteTables().toUnicode[byte]; }

std::optional<unsigned char> unicodeToByte(char32_t character)
{
    if (character >= byteTables().toByte.size() || byteTables().toByte[character] < 0) {
        return std::nullopt;
    }
    return static_cast<unsigned char>(byteTables().toByte[character]);
}

// The pre-tokenizer as a list of steps applied in order; each step splits every piece again.
struct BPETokenizer::PreTokenizer {
    struct Step {
        std::unique_ptr<icu::RegexPattern> pattern;
        // Isolated keeps the matches as pieces; Removed drops them. Text between matches
        // stays a piece either way.
        bool keepMatches = true;
        bool addPrefixSpace = false;
    };
    std::vector<Step> steps;

    static std::unique_ptr<icu::RegexPattern> compile(const std::string& source)
    {
        UParseError parseError {};
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8(source), 0, parseError, status));
        if (U_FAILURE(status) || !pattern) {
            unsupported("a pre-tokenizer pattern ICU cannot compile ("
                + std::string(u_errorName(status)) + ")");
        }
        return pattern;
    }

    void add(const nlohmann::json& config)
    {
        if (!config.is_object()) {
            malformed("a pre_tokenizer is not an object");
        }
        const auto type = stringField(config, "type");
        if (type == "Sequence") {
            const auto it = config.find("pretokenizers");
            if (it == config.end() || !it->is_array()) {
                malformed("a Sequence pre_tokenizer has no \"pretokenizers\" list");
            }
            for (const auto& inner : *it) {
                add(inner);
            }
        } else if (type == "ByteLevel") {
            Step step;
            step.addPrefixSpace = boolField(config, "add_prefix_space");
            const auto useRegex = config.find("use_regex");
            if (useRegex == config.end() || useRegex->is_null()
                || (useRegex->is_boolean() && useRegex->get<bool>())) {
                step.pattern = compile(kByteLevelPattern);
            }
            steps.push_back(std::move(step));
        } else if (type == "Split") {
            const auto pattern = config.find("pattern");
            if (pattern == config.end() || !pattern->is_object()) {
                malformed("a Split pre_tokenizer has no pattern");
            }
            std::string source;
            if (pattern->contains("Regex")) {
                source = stringField(*pattern, "Regex");
            } else if (pattern->contains("String")) {
                // A literal: quote it for the regex engine.
                source = "\\Q" + stringField(*pattern, "String") + "\\E";
            } else {
                malformed("a Split pattern is neither Regex nor String");
            }
            if (boolField(config, "invert")) {
                unsupported("inverted Split pre_tokenizer");
            }
            const auto behavior = stringField(config, "behavior");
            if (behavior != "Isolated" && behavior != "Removed") {
                unsupported("Split behaviour \"" + behavior + "\"");
            }
            Step step;
            step.pattern = compile(source);
            step.keepMatches = behavior == "Isolated";
            steps.push_back(std::move(step));
        } else {
            unsupported("pre_tokenizer type \"" + type + "\"");
        }
    }

    static void split(const Step& step, std::string_view text, std::size_t offset,
        std::vector<std::pair<std::size_t, std::size_t>>& out)
    {
        UErrorCode status = U_ZERO_ERROR;
        UText* input
            = utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status);
        std::unique_ptr<icu::RegexMatcher> matcher(step.pattern->matcher(status));
        if (U_FAILURE(status) || !matcher) {
            utext_close(input);
            out.emplace_back(offset, text.size());
            return;
        }
        matcher->reset(input);
        std::size_t last = 0;
        while (matcher->find(status) && U_SUCCESS(status)) {
            const auto start = static_cast<std::size_t>(matcher->start64(status));
            const auto end = static_cast<std::size_t>(matcher->end64(status));
            if (end <= start) {
                continue;
            }
            if (start > last) {
                out.emplace_back(offset + last, start - last);
            }
            if (step.keepMatches) {
                out.emplace_back(offset + start, end - start);
            }
            last = end;
        }
        if (last < text.size()) {
            out.emplace_back(offset + last, text.size() - last);
        }
        matcher.reset();
        utext_close(input);
    }

    // The pieces of `text`. A step with a prefix space puts one before each piece it sees
    // that does not start with a space, then splits it.
    std::vector<std::string> run(std::string_view text) const
    {
        std::vector<std::string> pieces;
        if (!text.empty()) {
            pieces.emplace_back(text);
        }
        std::vector<std::pair<std::size_t, std::size_t>> ranges;
        for (const auto& step : steps) {
            std::vector<std::string> next;
            for (auto& piece : pieces) {
                if (step.addPrefixSpace && piece.front() != ' ') {
                    piece.insert(piece.begin(), ' ');
                }
                if (!step.pattern) {
                    next.push_back(std::move(piece));
                    continue;
                }
                ranges.clear();
                split(step, piece, 0, ranges);
                for (const auto& [start, length] : ranges) {
                    next.emplace_back(piece.substr(start, length));
                }
            }
            pieces = std::move(next);
        }
        return pieces;
    }
};

BPETokenizer::BPETokenizer() { std::fill(std::begin(byteIds_), std::end(byteIds_), -1); }

BPETokenizer::~BPETokenizer() = default;

std::unique_ptr<BPETokenizer> BPETokenizer::fromFolder(const std::filesystem::path& folder)
{
    const auto path = folder / "tokenizer.json";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw TokenizerError(
            TokenizerError::Kind::missingFile, "No tokenizer.json in " + folder.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return fromJson(text.str());
    } catch (const TokenizerError& error) {
        throw TokenizerError(error.kind(), path.string() + ": " + error.description());
    }
}

std::unique_ptr<BPETokenizer> BPETokenizer::fromJson(std::string_view text)
{
    const auto root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        malformed("not valid JSON");
    }
    if (!root.is_object()) {
        malformed("the top level is not an object");
    }
    std::unique_ptr<BPETokenizer> tokenizer(new BPETokenizer());
    auto& t = *tokenizer;

    if (const auto normalizer = root.find("normalizer");
        normalizer != root.end() && !normalizer->is_null()) {
        unsupported("normalizer");
    }
    const auto model = root.find("model");
    if (model == root.end() || !model->is_object()) {
        malformed("no \"model\" object");
    }
    if (const auto type = stringField(*model, "type"); !type.empty() && type != "BPE") {
        unsupported("model type \"" + type + "\"");
    }
    if (!stringField(*model, "continuing_subword_prefix").empty()
        || !stringField(*model, "end_of_word_suffix").empty()) {
        unsupported("subword prefixes or suffixes");
    }
    if (boolField(*model, "byte_fallback")) {
        unsupported("byte_fallback");
    }
    if (const auto dropout = model->find("dropout");
        dropout != model->end() && !dropout->is_null()) {
        unsupported("BPE dropout");
    }
    t.ignoreMerges_ = boolField(*model, "ignore_merges");
    if (const auto decoder = root.find("decoder"); decoder != root.end() && !decoder->is_null()) {
        if (!decoder->is_object() || stringField(*decoder, "type") != "ByteLevel") {
            unsupported("a decoder other than ByteLevel");
        }
    }

    // Vocabulary.
    const auto vocab = model->find("vocab");
    if (vocab == model->end() || !vocab->is_object()) {
        malformed("the model has no \"vocab\" object");
    }
    std::int64_t maxId = -1;
    auto noteId = [&](std::int64_t id) {
        if (id < 0 || id > std::numeric_limits<std::int32_t>::max()) {
            malformed("token id " + std::to_string(id) + " is out of range");
        }
        maxId = std::max(maxId, id);
    };
    t.vocab_.reserve(vocab->size());
    for (auto it = vocab->begin(); it != vocab->end(); ++it) {
        if (!it->is_number_integer()) {
            malformed("the id of \"" + it.key() + "\" is not an integer");
        }
        const auto id = it->get<std::int64_t>();
        noteId(id);
        t.vocab_.emplace(it.key(), id);
    }

    // Added tokens.
    std::vector<AddedToken> added;
    if (const auto list = root.find("added_tokens"); list != root.end() && !list->is_null()) {
        if (!list->is_array()) {
            malformed("\"added_tokens\" is not a list");
        }
        for (const auto& entry : *list) {
            if (!entry.is_object() || !entry.contains("id") || !entry["id"].is_number_integer()
                || !entry.contains("content") || !entry["content"].is_string()) {
                malformed("an added token lacks an integer id or a content string");
            }
            for (const char* flag : { "single_word", "lstrip", "rstrip" }) {
                if (boolField(entry, flag)) {
                    unsupported(std::string("added tokens with ") + flag);
                }
            }
            const auto id = entry["id"].get<std::int64_t>();
            noteId(id);
            auto content = entry["content"].get<std::string>();
            if (content.empty()) {
                malformed("an added token is empty");
            }
            t.addedTokens_[content] = id;
            added.push_back({ std::move(content), id });
        }
    }

    t.idToToken_.assign(static_cast<std::size_t>(maxId + 1), std::nullopt);
    t.isAdded_.assign(static_cast<std::size_t>(maxId + 1), false);
    for (const auto& [token, id] : t.vocab_) {
        t.idToToken_[static_cast<std::size_t>(id)] = token;
    }
    for (const auto& token : added) {
        t.idToToken_[static_cast<std::size_t>(token.id)] = token.content;
        t.isAdded_[static_cast<std::size_t>(token.id)] = true;
    }
    t.addedByFirstByte_.resize(256);
    for (auto& token : added) {
        t.addedByFirstByte_[static_cast<unsigned char>(token.content.front())].push_back(token);
    }
    for (auto& bucket : t.addedByFirstByte_) {
        std::stable_sort(
            bucket.begin(), bucket.end(), [](const AddedToken& a, const AddedToken& b) {
                return a.content.size() > b.content.size();
            });
    }
    for (int b = 0; b < 256; ++b) {
        std::string character;
        utf8::append(character, byteToUnicode(static_cast<unsigned char>(b)));
        if (const auto it = t.vocab_.find(std::string_view(character)); it != t.vocab_.end()) {
            t.byteIds_[b] = it->second;
        }
    }

    // Merges, in rank order: "left right" strings or [left, right] pairs.
    const auto merges = model->find("merges");
    if (merges == model->end() || !merges->is_array()) {
        malformed("the model has no \"merges\" list");
    }
    std::int32_t rank = 0;
    std::string joined;
    t.merges_.reserve(merges->size());
    for (const auto& merge : *merges) {
        std::string_view left;
        std::string_view right;
        if (merge.is_string()) {
            const std::string_view text = merge.get_ref<const std::string&>();
            const auto space = text.find(' ');
            if (space == std::string::npos || space == 0 || space + 1 >= text.size()
                || text.find(' ', space + 1) != std::string::npos) {
                malformed("merge \"" + std::string(text) + "\" is not two tokens");
            }
            left = text.substr(0, space);
            right = text.substr(space + 1);
        } else if (merge.is_array() && merge.size() == 2 && merge[0].is_string()
            && merge[1].is_string()) {
            left = merge[0].get_ref<const std::string&>();
            right = merge[1].get_ref<const std::string&>();
        } else {
            malformed("merge " + std::to_string(rank) + " is neither a string nor a pair");
        }
        joined.assign(left).append(right);
        const auto l = t.vocab_.find(left);
        const auto r = t.vocab_.find(right);
        const auto m = t.vocab_.find(std::string_view(joined));
        if (l == t.vocab_.end() || r == t.vocab_.end() || m == t.vocab_.end()) {
            malformed("merge \"" + std::string(left) + " " + std::string(right)
                + "\" uses tokens outside the vocabulary");
        }
        // A repeated merge keeps its first (best) rank.
        t.merges_.try_emplace(
            pairKey(l->second, r->second), Merge { rank, static_cast<std::int32_t>(m->second) });
        ++rank;
    }

    // Pre-tokenizer; none means the whole text is one piece.
    t.preTokenizer_ = std::make_unique<PreTokenizer>();
    if (const auto pre = root.find("pre_tokenizer"); pre != root.end() && !pre->is_null()) {
        t.preTokenizer_->add(*pre);
    }
    return tokenizer;
}

std::vector<std::string> BPETokenizer::preTokenize(std::string_view text) const
{
    return preTokenizer_->run(text);
}

void BPETokenizer::encodeWord(std::string_view bytes, std::vector<std::int64_t>& out) const
{
    if (ignoreMerges_) {
        if (const auto it = vocab_.find(std::string_view(toByteLevel(bytes))); it != vocab_.end()) {
            out.push_back(it->second);
            return;
        }
    }
    struct Symbol {
        std::int64_t id;
        std::int32_t prev;
        std::int32_t next;
        bool alive;
    };
    std::vector<Symbol> symbols;
    symbols.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto id = byteIds_[static_cast<unsigned char>(byte)];
        if (id < 0) {
            continue; // a vocabulary without this byte cannot spell it
        }
        const auto index = static_cast<std::int32_t>(symbols.size());
        symbols.push_back({ id, index - 1, index + 1, true });
    }
    if (symbols.empty()) {
        return;
    }
    symbols.back().next = -1;

    // Lowest rank first; equal ranks leftmost first.
    struct Candidate {
        std::int32_t rank;
        std::int32_t position;
        std::int32_t result;
        bool operator>(const Candidate& other) const
        {
            return rank != other.rank ? rank > other.rank : position > other.position;
        }
    };
    std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> queue;
    auto consider = [&](std::int32_t left) {
        const auto right = symbols[left].next;
        if (right < 0) {
            return;
        }
        if (const auto it = merges_.find(pairKey(symbols[left].id, symbols[right].id));
            it != merges_.end()) {
            queue.push({ it->second.rank, left, it->second.result });
        }
    };
    for (std::int32_t i = 0; i + 1 < static_cast<std::int32_t>(symbols.size()); ++i) {
        consider(i);
    }
    while (!queue.empty()) {
        const auto candidate = queue.top();
        queue.pop();
        auto& left = symbols[candidate.position];
        if (!left.alive || left.next < 0) {
            continue;
        }
        // Skip candidates made stale by an earlier merge next to them.
        const auto it = merges_.find(pairKey(left.id, symbols[left.next].id));
        if (it == merges_.end() || it->second.rank != candidate.rank
            || it->second.result != candidate.result) {
            continue;
        }
        auto& right = symbols[left.next];
        left.id = candidate.result;
        right.alive = false;
        left.next = right.next;
        if (left.next >= 0) {
            symbols[left.next].prev = candidate.position;
        }
        if (left.prev >= 0) {
            consider(left.prev);
        }
        consider(candidate.position);
    }
    for (std::int32_t i = 0; i >= 0; i = symbols[i].next) {
        out.push_back(symbols[i].id);
    }
}

void BPETokenizer::encodeOrdinary(std::string_view text, std::vector<std::int64_t>& out) const
{
    for (const auto& word : preTokenizer_->run(text)) {
        encodeWord(word, out);
    }
}

std::vector<std::int64_t> BPETokenizer::encode(std::string_view text) const
{
    std::vector<std::int64_t> ids;
    std::size_t pieceStart = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const AddedToken* match = nullptr;
        for (const auto& candidate : addedByFirstByte_[static_cast<unsigned char>(text[i])]) {
            if (text.substr(i, candidate.content.size()) == candidate.content) {
                match = &candidate;
                break; // longest first
            }
        }
        if (!match) {
            ++i;
            continue;
        }
        encodeOrdinary(text.substr(pieceStart, i - pieceStart), ids);
        ids.push_back(match->id);
        i += match->content.size();
        pieceStart = i;
    }
    encodeOrdinary(text.substr(pieceStart), ids);
    return ids;
}

std::string BPETokenizer::decode(const std::vector<std::int64_t>& tokens) const
{
    std::string bytes;
    for (const auto id : tokens) {
        if (id < 0 || id >= vocabularySize() || !idToToken_[static_cast<std::size_t>(id)]) {
            continue;
        }
        const auto& token = *idToToken_[static_cast<std::size_t>(id)];
        if (isAdded_[static_cast<std::size_t>(id)]) {
            bytes += token;
            continue;
        }
        for (const char32_t character : utf8::decodeLossy(token)) {
            if (const auto byte = unicodeToByte(character)) {
                bytes.push_back(static_cast<char>(*byte));
            } else {
                utf8::append(bytes, character);
            }
        }
    }
    return utf8::sanitize(bytes);
}

std::optional<std::int64_t> BPETokenizer::convertTokenToId(std::string_view token) const
{
    if (const auto it = addedTokens_.find(token); it != addedTokens_.end()) {
        return it->second;
    }
    if (const auto it = vocab_.find(token); it != vocab_.end()) {
        return it->second;
    }
    return std::nullopt;
}

std::optional<std::string> BPETokenizer::convertIdToToken(std::int64_t id) const
{
    if (id < 0 || id >= vocabularySize()) {
        return std::nullopt;
    }
    return idToToken_[static_cast<std::size_t>(id)];
}

} // namespace auralis
