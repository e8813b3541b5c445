#pragma once

#include "Auralis/Core/Text/TokenIdentifiers.h"
#include "Auralis/Runtime/MultiArray.h"

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

namespace auralis {

// Sets the logits of forbidden tokens to minus infinity, in place, before sampling. `logits`
// is a float16 array [1, 1, V]; token t is element t of the last dimension. `tokens` is the
// decoder's current token list, prompt included. Filters serve one window at a time.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;
    // Returns `logits` (the same array). Throws WhisperError (decodingFailed) when the logits
    // are not a float16 array.
    virtual runtime::MultiArray filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens) = 0;
};

// Tokens that may never be sampled.
class SuppressTokensFilter final : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<std::int64_t> suppressTokens);

    const std::vector<std::int64_t> suppressTokens;
    // The last-dimension index t of [0, 0, t], per suppressed id.
    const std::vector<std::int64_t> suppressTokenIndexes;

    runtime::MultiArray filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;
};

// Forbids a blank or end token while the token count equals `sampleBegin`.
class SuppressBlankFilter final : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin);

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    // whitespaceToken and endToken (last-dimension indexes).
    const std::vector<std::int64_t> suppressTokenIndexes;

    runtime::MultiArray filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;
};

// Leaves only language tokens once `sampleBegin` tokens exist (language detection).
class LanguageLogitsFilter final : public LogitsFiltering {
public:
    LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens, std::int64_t logitsDim, std::int64_t sampleBegin);

    const std::set<std::int64_t> allLanguageTokens;
    const std::int64_t logitsDim;
    const std::int64_t sampleBegin;
    // Every non-language t below logitsDim, increasing (last-dimension indexes).
    const std::vector<std::int64_t> nonLanguageTokenIndexes;

    runtime::MultiArray filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;
};

// Whisper's timestamp rules: timestamps come in pairs around text, never decrease, and are
// forced when their total probability beats every text token.
class TimestampRulesFilter final : public LogitsFiltering {
public:
    TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
        std::optional<std::int64_t> maxInitialTimestampIndex, bool isModelMultilingual);

    const SpecialTokens specialTokens;
    const std::int64_t sampleBegin;
    // Kept for the caller; no rule reads it.
    const std::optional<std::int64_t> maxInitialTimestampIndex;
    const bool isModelMultilingual;

    // Where the sampled part of `tokens` begins, or nullopt when a multilingual prompt has no
    // task token in its first three positions.
    std::optional<std::int64_t> sampleBeginFor(const std::vector<std::int64_t>& tokens) const;

    runtime::MultiArray filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens) override;

    // The probability rule alone: true when the timestamps' summed probability beats the most
    // likely text token. False (logged) when it cannot be computed.
    bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const runtime::MultiArray& logits) const;

private:
    mutable std::vector<float> scratch_;
};

} // namespace auralis
