#pragma once

#include "Auralis/Core/ModelVariant.h"
#include "Auralis/Core/Text/Tokenizer.h"
#include "Auralis/Core/Text/WhisperTokenizer.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace auralis {

// A general tokenizer with Whisper's knowledge added: the special-token ids, the language
// tokens and the split of tokens into words. The first four operations are the underlying
// tokenizer's. Immutable; safe to share between threads.
class WhisperTokenizerWrapper final : public WhisperTokenizer {
public:
    // Looks up the special tokens (fixed multilingual ids where the tokenizer lacks a text;
    // "<|nospeech|>" is also looked for under its older name "<|nocaptions|>") and the
    // language tokens.
    WhisperTokenizerWrapper(
        std::unique_ptr<Tokenizer> tokenizer, std::optional<std::filesystem::path> folder);

    std::vector<std::int64_t> encode(std::string_view text) const override;
    std::string decode(const std::vector<std::int64_t>& tokens) const override;
    std::optional<std::int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(std::int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    // Ids of "<|code|>" for every code of the language table that the tokenizer knows,
    // strictly above specialTokenBegin.
    const std::set<std::int64_t>& allLanguageTokens() const override { return allLanguageTokens_; }
    WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const override;

    const Tokenizer& tokenizer() const { return *tokenizer_; }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

    // Decodes the group of ids that grows token by token and cuts a word whenever the group
    // decodes without a replacement character (or the whole text has one at that place).
    WordTokens splitTokensOnUnicode(const std::vector<std::int64_t>& tokenIds) const;
    // The character pieces merged into words: a piece starting with a space, a special token
    // or a lone punctuation mark starts a new word.
    WordTokens splitTokensOnSpaces(const std::vector<std::int64_t>& tokenIds) const;

private:
    std::unique_ptr<Tokenizer> tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::set<std::int64_t> allLanguageTokens_;
};

// The tokenizer repository of a model variant, "openai/whisper-small" style.
std::string tokenizerNameForVariant(ModelVariant variant);

// Where tokenizer repositories live locally. Downloading is not offered: the engine finds
// its tokenizer files in the model folder, so a fetch request fails with TokenizerError
// (downloadUnavailable).
class ModelHubClient {
public:
    // The default download base: $HF_HOME, else $XDG_CACHE_HOME/huggingface, else
    // ~/.cache/huggingface.
    static std::filesystem::path defaultDownloadBase();
    // downloadBase/models/<repository name>.
    static std::filesystem::path localRepoLocation(const std::string& repositoryName,
        const std::optional<std::filesystem::path>& downloadBase);
    // Always throws TokenizerError (downloadUnavailable), naming the folder to fill instead.
    [[noreturn]] static void download(
        const std::string& repositoryName, const std::filesystem::path& localLocation);
};

// Finds the tokenizer files of `variant` and loads them strictly: candidates are the local
// repository folder under `tokenizerFolder` (or the hub's default base), `tokenizerFolder`
// itself, then `additionalSearchPaths`; the first holding "tokenizer.json" is used. When none
// has it or it fails to load, the hub download is asked for, which is refused. Blocks while
// reading; throws TokenizerError.
std::unique_ptr<WhisperTokenizerWrapper> loadTokenizer(ModelVariant variant,
    const std::optional<std::filesystem::path>& tokenizerFolder = std::nullopt,
    const std::vector<std::filesystem::path>& additionalSearchPaths = {},
    bool useBackgroundSession = false);

} // namespace auralis
