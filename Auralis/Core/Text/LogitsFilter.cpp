#include "Auralis/Core/Text/LogitsFilter.h"

#include "Auralis/Runtime/Float16.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/WhisperError.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace auralis {

namespace {

constexpr std::uint16_t kMinusInfinityBits = 0xFC00;

std::span<std::uint16_t> logitBits(runtime::MultiArray& logits)
{
    if (logits.empty() || logits.dataType() != runtime::MultiArrayDataType::float16) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "Logits must be a float16 array");
    }
    return logits.float16Bits();
}

void suppress(std::span<std::uint16_t> bits, std::int64_t token)
{
    if (token >= 0 && static_cast<std::size_t>(token) < bits.size()) {
        bits[static_cast<std::size_t>(token)] = kMinusInfinityBits;
    }
}

// [begin, end) clamped to the vocabulary. A reversed range is a fault of the caller.
void suppressRange(std::span<std::uint16_t> bits, std::int64_t begin, std::int64_t end)
{
    if (end < begin) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "Invalid logits range");
    }
    const auto size = static_cast<std::int64_t>(bits.size());
    begin = std::clamp<std::int64_t>(begin, 0, size);
    end = std::clamp<std::int64_t>(end, 0, size);
    std::fill(bits.begin() + begin, bits.begin() + end, kMinusInfinityBits);
}

std::vector<std::int64_t> nonLanguageTokens(const std::set<std::int64_t>& languageTokens, std::int64_t logitsDim)
{
    std::vector<std::int64_t> result;
    result.reserve(static_cast<std::size_t>(std::max<std::int64_t>(logitsDim, 0)));
    for (std::int64_t t = 0; t < logitsDim; ++t) {
        if (!languageTokens.contains(t)) {
            result.push_back(t);
        }
    }
    return result;
}

} // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<std::int64_t> suppressTokens)
    : suppressTokens(std::move(suppressTokens)), suppressTokenIndexes(this->suppressTokens)
{
}

runtime::MultiArray SuppressTokensFilter::filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>&)
{
    const auto bits = logitBits(logits);
    for (const auto token : suppressTokenIndexes) {
        suppress(bits, token);
    }
    return logits;
}

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, std::int64_t sampleBegin)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      suppressTokenIndexes{specialTokens.whitespaceToken, specialTokens.endToken}
{
}

runtime::MultiArray SuppressBlankFilter::filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens)
{
    const auto bits = logitBits(logits);
    if (static_cast<std::int64_t>(tokens.size()) == sampleBegin) {
        for (const auto token : suppressTokenIndexes) {
            suppress(bits, token);
        }
    }
    return logits;
}

LanguageLogitsFilter::LanguageLogitsFilter(std::set<std::int64_t> allLanguageTokens, std::int64_t logitsDim, std::int64_t sampleBegin)
    : allLanguageTokens(std::move(allLanguageTokens)),
      logitsDim(logitsDim),
      sampleBegin(sampleBegin),
      nonLanguageTokenIndexes(nonLanguageTokens(this->allLanguageTokens, logitsDim))
{
}

runtime::MultiArray LanguageLogitsFilter::filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens)
{
    const auto bits = logitBits(logits);
    if (static_cast<std::int64_t>(tokens.size()) >= sampleBegin) {
        for (const auto token : nonLanguageTokenIndexes) {
            suppress(bits, token);
        }
    }
    return logits;
}

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, std::int64_t sampleBegin,
    std::optional<std::int64_t> maxInitialTimestampIndex, bool isModelMultilingual)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      maxInitialTimestampIndex(maxInitialTimestampIndex),
      isModelMultilingual(isModelMultilingual)
{
}

std::optional<std::int64_t> TimestampRulesFilter::sampleBeginFor(const std::vector<std::int64_t>& tokens) const
{
    if (!isModelMultilingual) {
        return sampleBegin;
    }
    for (std::size_t k = 0; k < 3 && k < tokens.size(); ++k) {
        if (tokens[k] == specialTokens.transcribeToken || tokens[k] == specialTokens.translateToken) {
            return std::max(static_cast<std::int64_t>(k) + 1, sampleBegin);
        }
    }
    return std::nullopt;
}

runtime::MultiArray TimestampRulesFilter::filterLogits(runtime::MultiArray logits, const std::vector<std::int64_t>& tokens)
{
    const auto bits = logitBits(logits);
    const auto begin = sampleBeginFor(tokens);
    const auto n = static_cast<std::int64_t>(tokens.size());
    if (!begin || n < *begin) {
        return logits;
    }
    const auto b = *begin;
    const auto timeBegin = specialTokens.timeTokenBegin;
    const auto vocabulary = static_cast<std::int64_t>(bits.size());
    suppress(bits, specialTokens.noTimestampsToken);

    if (n > b) {
        const auto last = tokens[static_cast<std::size_t>(n - 1)];
        const bool lastIsTimestamp = last >= timeBegin;
        bool closesSegment = false;
        if (n - b == 1) {
            if (lastIsTimestamp) {
                suppressRange(bits, timeBegin, vocabulary);
            }
        } else if (lastIsTimestamp) {
            const auto penultimate = tokens[static_cast<std::size_t>(n - 2)];
            if (penultimate < timeBegin) {
                suppressRange(bits, 0, specialTokens.endToken);
                closesSegment = true;
            } else {
                suppressRange(bits, timeBegin, vocabulary);
            }
        }
        std::optional<std::int64_t> lastTimestamp;
        for (auto i = b; i < n; ++i) {
            if (tokens[static_cast<std::size_t>(i)] >= timeBegin) {
                lastTimestamp = tokens[static_cast<std::size_t>(i)];
            }
        }
        if (lastTimestamp) {
            const auto limit = closesSegment ? *lastTimestamp : *lastTimestamp + 1;
            suppressRange(bits, timeBegin, std::min(limit, vocabulary));
        }
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits)) {
        suppressRange(bits, 0, std::min(timeBegin, vocabulary));
    }
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const runtime::MultiArray& logits) const
{
    const auto bits = logits.float16Bits();
    const auto vocabulary = bits.size();
    const auto timeBegin = static_cast<std::size_t>(std::max<std::int64_t>(specialTokens.timeTokenBegin, 0));
    if (timeBegin == 0 || timeBegin >= vocabulary) {
        Logging::error("TimestampRulesFilter error: the timestamp range lies outside the logits");
        return false;
    }
    scratch_.resize(vocabulary);
    runtime::convertHalfToFloat(bits.data(), scratch_.data(), vocabulary);
    const float maximum = *std::max_element(scratch_.begin(), scratch_.end());
    if (!std::isfinite(maximum)) {
        Logging::error("TimestampRulesFilter error: no finite logit");
        return false;
    }
    // With log-softmax(x)_i = x_i - max - log(sum exp(x - max)), the normaliser is shared by
    // both sides of the comparison and cancels: only the timestamps need exponentials.
    float timestampTotal = 0;
    for (std::size_t i = timeBegin; i < vocabulary; ++i) {
        timestampTotal += std::exp(scratch_[i] - maximum);
    }
    const float maxText = *std::max_element(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(timeBegin));
    return std::log(timestampTotal) > maxText - maximum;
}

} // namespace auralis
