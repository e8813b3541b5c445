#include "Auralis/Core/Text/WhisperTokenizerWrapper.h"

#include "Auralis/Core/Constants.h"
#include "Auralis/Core/Text/BPETokenizer.h"
#include "Auralis/Core/Text/LanguageRecognizer.h"
#include "Auralis/Core/Text/TokenizerError.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/UTF8.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdlib>

namespace auralis {
namespace {

    bool isWhiteSpace(char32_t c)
    {
        return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
    }

    // True when `text` trimmed of white space is exactly one punctuation character.
    bool isLonePunctuation(std::string_view text)
    {
        auto codePoints = utf8::decodeLossy(text);
        const auto first = std::find_if_not(codePoints.begin(), codePoints.end(), isWhiteSpace);
        const auto last
            = std::find_if_not(codePoints.rbegin(), codePoints.rend(), isWhiteSpace).base();
        return first < last && last - first == 1 && u_ispunct(static_cast<UChar32>(*first));
    }

} // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(
    std::unique_ptr<Tokenizer> tokenizer, std::optional<std::filesystem::path> folder)
    : tokenizer_(std::move(tokenizer))
    , tokenizerFolder_(std::move(folder))
{
    auto lookup = [&](std::initializer_list<const char*> texts, std::int64_t fallback) {
        for (const char* text : texts) {
            if (const auto id = tokenizer_->convertTokenToId(text)) {
                return *id;
            }
        }
        return fallback;
    };
    specialTokens_ = SpecialTokens {
        .endToken = lookup({ "<|endoftext|>" }, 50257),
        .englishToken = lookup({ "<|en|>" }, 50259),
        .noSpeechToken = lookup({ "<|nospeech|>", "<|nocaptions|>" }, 50362),
        .noTimestampsToken = lookup({ "<|notimestamps|>" }, 50363),
        .specialTokenBegin = lookup({ "<|endoftext|>" }, 50257),
        .startOfPreviousToken = lookup({ "<|startofprev|>" }, 50361),
        .startOfTranscriptToken = lookup({ "<|startoftranscript|>" }, 50258),
        .timeTokenBegin = lookup({ "<|0.00|>" }, 50364),
        .transcribeToken = lookup({ "<|transcribe|>" }, 50359),
        .translateToken = lookup({ "<|translate|>" }, 50358),
        .whitespaceToken = lookup({ " " }, 220),
    };
    for (const auto& [name, code] : Constants::languages) {
        if (const auto id = tokenizer_->convertTokenToId("<|" + code + "|>");
            id && *id > specialTokens_.specialTokenBegin) {
            allLanguageTokens_.insert(*id);
        }
    }
}

std::vector<std::int64_t> WhisperTokenizerWrapper::encode(std::string_view text) const
{
    return tokenizer_->encode(text);
}

std::string WhisperTokenizerWrapper::decode(const std::vector<std::int64_t>& tokens) const
{
    return tokenizer_->decode(tokens);
}

std::optional<std::int64_t> WhisperTokenizerWrapper::convertTokenToId(std::string_view token) const
{
    return tokenizer_->convertTokenToId(token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(std::int64_t id) const
{
    return tokenizer_->convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(
    const std::vector<std::int64_t>& tokenIds) const
{
    std::vector<std::int64_t> ordinary;
    std::copy_if(tokenIds.begin(), tokenIds.end(), std::back_inserter(ordinary),
        [&](std::int64_t id) { return id < specialTokens_.specialTokenBegin; });
    const auto language = LanguageRecognizer::dominantLanguage(decode(ordinary));
    static constexpr std::string_view kWithoutSpaces[] = { "zh", "ja", "th", "lo", "my", "yue" };
    if (language
        && std::find(std::begin(kWithoutSpaces), std::end(kWithoutSpaces), *language)
            != std::end(kWithoutSpaces)) {
        return splitTokensOnUnicode(tokenIds);
    }
    return splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(
    const std::vector<std::int64_t>& tokenIds) const
{
    WordTokens result;
    if (tokenIds.empty()) {
        return result;
    }
    const auto fullText = utf8::decodeLossy(decode(tokenIds));
    std::vector<std::int64_t> current;
    std::size_t offset = 0;
    for (const auto id : tokenIds) {
        current.push_back(id);
        const auto decoded = decode(current);
        const auto codePoints = utf8::decodeLossy(decoded);
        const auto replacement = codePoints.find(utf8::kReplacementCharacter);
        // A replacement the whole text also has at this place is real (an undecodable byte);
        // elsewhere it means the character continues in the next token.
        const bool complete = replacement == std::u32string::npos
            || (offset + replacement < fullText.size()
                && fullText[offset + replacement] == utf8::kReplacementCharacter);
        if (complete) {
            result.words.push_back(decoded);
            result.wordTokens.push_back(std::move(current));
            current.clear();
            offset += codePoints.size();
        }
    }
    return result;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(
    const std::vector<std::int64_t>& tokenIds) const
{
    const auto pieces = splitTokensOnUnicode(tokenIds);
    WordTokens result;
    for (std::size_t i = 0; i < pieces.words.size(); ++i) {
        const auto& text = pieces.words[i];
        const auto& ids = pieces.wordTokens[i];
        const bool special = ids.front() >= specialTokens_.specialTokenBegin;
        const bool startsWithSpace = !text.empty() && text.front() == ' ';
        if (special || startsWithSpace || isLonePunctuation(text) || result.words.empty()) {
            result.words.push_back(text);
            result.wordTokens.push_back(ids);
        } else {
            result.words.back() += text;
            auto& last = result.wordTokens.back();
            last.insert(last.end(), ids.begin(), ids.end());
        }
    }
    return result;
}

std::string tokenizerNameForVariant(ModelVariant variant)
{
    switch (variant) {
    case ModelVariant::tiny:
        return "openai/whisper-tiny";
    case ModelVariant::tinyEn:
        return "openai/whisper-tiny.en";
    case ModelVariant::base:
        return "openai/whisper-base";
    case ModelVariant::baseEn:
        return "openai/whisper-base.en";
    case ModelVariant::small:
        return "openai/whisper-small";
    case ModelVariant::smallEn:
        return "openai/whisper-small.en";
    case ModelVariant::medium:
        return "openai/whisper-medium";
    case ModelVariant::mediumEn:
        return "openai/whisper-medium.en";
    case ModelVariant::large:
        return "openai/whisper-large";
    case ModelVariant::largev2:
        return "openai/whisper-large-v2";
    case ModelVariant::largev3:
        return "openai/whisper-large-v3";
    }
    return "openai/whisper-tiny";
}

std::filesystem::path ModelHubClient::defaultDownloadBase()
{
    if (const char* home = std::getenv("HF_HOME"); home && *home) {
        return home;
    }
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache) {
        return std::filesystem::path(cache) / "huggingface";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".cache" / "huggingface";
}

std::filesystem::path ModelHubClient::localRepoLocation(
    const std::string& repositoryName, const std::optional<std::filesystem::path>& downloadBase)
{
    return downloadBase.value_or(defaultDownloadBase()) / "models" / repositoryName;
}

void ModelHubClient::download(
    const std::string& repositoryName, const std::filesystem::path& localLocation)
{
    throw TokenizerError(TokenizerError::Kind::downloadUnavailable,
        "The tokenizer files of " + repositoryName
            + " were not found locally and downloading them is not supported;"
              " put tokenizer.json in the model folder or in "
            + localLocation.string());
}

std::unique_ptr<WhisperTokenizerWrapper> loadTokenizer(ModelVariant variant,
    const std::optional<std::filesystem::path>& tokenizerFolder,
    const std::vector<std::filesystem::path>& additionalSearchPaths, bool /*useBackgroundSession*/)
{
    const auto name = tokenizerNameForVariant(variant);
    const auto repository = ModelHubClient::localRepoLocation(name, tokenizerFolder);

    std::vector<std::filesystem::path> candidates { repository };
    if (tokenizerFolder) {
        candidates.push_back(*tokenizerFolder);
    }
    candidates.insert(candidates.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

    std::optional<std::filesystem::path> localFolder;
    for (const auto& candidate : candidates) {
        const auto file = candidate / "tokenizer.json";
        std::error_code error;
        const bool found = std::filesystem::is_regular_file(file, error);
        Logging::debug("Checking for local tokenizer at " + file.string() + " - "
            + (found ? "found" : "not found"));
        if (found) {
            localFolder = candidate;
            Logging::debug("Found local tokenizer at " + candidate.string());
            break;
        }
    }
    if (!localFolder) {
        Logging::debug("No tokenizer found in any local search paths");
    }

    if (localFolder) {
        Logging::info("Loading tokenizer from " + localFolder->string());
        try {
            return std::make_unique<WhisperTokenizerWrapper>(
                BPETokenizer::fromFolder(*localFolder), localFolder);
        } catch (const TokenizerError& error) {
            Logging::error("Error loading local tokenizer: " + error.description());
        }
    }
    Logging::info("Downloading tokenizer from Hub at " + repository.string());
    ModelHubClient::download(name, repository);
}

} // namespace auralis
