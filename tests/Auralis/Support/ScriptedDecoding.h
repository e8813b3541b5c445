#pragma once

#include "Auralis/Core/TextDecoder.h"
#include "Auralis/Core/Text/WhisperTokenizer.h"
#include "Auralis/Runtime/MultiArray.h"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace auralis::testing {

// The multilingual Whisper vocabulary size and special ids (SpecialTokens' defaults).
inline constexpr std::int64_t kVocabularySize = 51865;
inline constexpr std::int64_t kEnd = 50257;
inline constexpr std::int64_t kStartOfTranscript = 50258;
inline constexpr std::int64_t kEnglish = 50259;
inline constexpr std::int64_t kGerman = 50261;
inline constexpr std::int64_t kTranslate = 50358;
inline constexpr std::int64_t kTranscribe = 50359;
inline constexpr std::int64_t kStartOfPrevious = 50361;
inline constexpr std::int64_t kNoTimestamps = 50363;
inline constexpr std::int64_t kTimeBegin = 50364;

// The timestamp token for `seconds` (0.02 s steps).
inline std::int64_t timestamp(double seconds)
{
    return kTimeBegin + static_cast<std::int64_t>(seconds / 0.02 + 0.5);
}

// A tokenizer over a small table of text tokens plus Whisper's special and timestamp texts.
// Text token ids decode to the texts given; every other id below 50257 decodes to "<id>".
// Each token is a word of its own, so word grouping is the identity.
class TableTokenizer final : public WhisperTokenizer {
public:
    explicit TableTokenizer(std::map<std::int64_t, std::string> texts = {});

    std::vector<std::int64_t> encode(std::string_view text) const override;
    std::string decode(const std::vector<std::int64_t>& tokens) const override;
    std::optional<std::int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(std::int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<std::int64_t>& allLanguageTokens() const override { return languageTokens_; }
    WordTokens splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const override;

private:
    std::map<std::int64_t, std::string> texts_;
    SpecialTokens specialTokens_;
    std::set<std::int64_t> languageTokens_;
};

// One scripted decoder step: the logits it returns (every other token at minus infinity).
struct ScriptedStep {
    std::map<std::int64_t, float> logits;
};

// A text decoder whose model is a table: prediction k (counted over the decoder's life)
// returns the logits of step k (the last step repeats). Key and value updates hold
// cacheLength + 1 in every channel; alignment weights, when enabled, put 1 in the column
// equal to cacheLength. Records the input ids and cache lengths it was given.
class ScriptedTextDecoder final : public TextDecoder {
public:
    static constexpr std::int64_t kEmbed = 4;
    static constexpr std::int64_t kSlots = 224;
    static constexpr std::int64_t kWindow = 16;

    explicit ScriptedTextDecoder(std::vector<ScriptedStep> steps, bool alignment = false);

    std::optional<std::int64_t> logitsSize() const override { return kVocabularySize; }
    std::optional<std::int64_t> kvCacheEmbedDim() const override { return kEmbed; }
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override { return kSlots; }
    std::optional<std::int64_t> windowSize() const override { return kWindow; }
    std::optional<std::int64_t> embedSize() const override { return kEmbed; }
    bool supportsWordTimestamps() const override { return alignment_; }

    asio::awaitable<std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>>> predictLogits(
        const TextDecoderMLMultiArrayInputType& inputs) override;
    using TextDecoder::predictLogits;

    std::vector<ScriptedStep> steps;
    std::vector<std::int64_t> fedTokens;
    std::vector<std::int64_t> fedPositions;
    // Drop these outputs from every prediction, to simulate a broken model.
    bool omitLogits = false;
    bool omitValueCache = false;

private:
    bool alignment_;
    std::size_t calls_ = 0;
};

// A float16 [1, 1, V] logits array with the given values and minus infinity elsewhere.
runtime::MultiArray makeLogits(const std::map<std::int64_t, float>& values, std::int64_t vocabulary = kVocabularySize);

// An encoder output stand-in of the scripted decoder's shape.
runtime::MultiArray scriptedEncoderOutput();

// Runs a coroutine to completion on a private io_context and returns its value or rethrows.
template <typename T>
T runAwaitable(asio::awaitable<T> operation)
{
    asio::io_context context;
    auto future = asio::co_spawn(context, std::move(operation), asio::use_future);
    context.run();
    return future.get();
}

} // namespace auralis::testing
