#pragma once

#include "Auralis/Core/DecodingOptions.h"
#include "Auralis/Runtime/Float16.h"
#include "Auralis/Runtime/MultiArray.h"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <vector>

namespace auralis {

struct SamplingResult {
    // The tokens given to the sampler plus the new one.
    std::vector<std::int64_t> tokens{};
    // Likewise for their log-probabilities.
    std::vector<float> logProbs{};
    // The sequence has ended.
    bool completed = false;

    bool operator==(const SamplingResult&) const = default;
};

// Chooses the next token from one row of filtered logits. A sampler serves one decoding
// window at a time.
class TokenSampling {
public:
    virtual ~TokenSampling() = default;
    // `logits` is a float16 array of shape [1, 1, V]. Throws WhisperError (decodingFailed)
    // when the logits are not usable.
    virtual asio::awaitable<SamplingResult> update(
        std::vector<std::int64_t> tokens, runtime::MultiArray logits, std::vector<float> logProbs) = 0;
    // Closes a finished sequence.
    virtual SamplingResult finalize(std::vector<std::int64_t> tokens, std::vector<float> logProbs) = 0;
};

// The most likely token at temperature 0; otherwise a draw among the `topK` most likely tokens
// of the tempered distribution, from the system's random source.
class GreedyTokenSampler final : public TokenSampling {
public:
    GreedyTokenSampler(runtime::Float16 temperature, std::int64_t eotToken, DecodingOptions decodingOptions);

    const runtime::Float16 temperature;
    const std::int64_t eotToken;
    const DecodingOptions decodingOptions;

    asio::awaitable<SamplingResult> update(
        std::vector<std::int64_t> tokens, runtime::MultiArray logits, std::vector<float> logProbs) override;
    SamplingResult finalize(std::vector<std::int64_t> tokens, std::vector<float> logProbs) override;

    // The choice of update() without the coroutine: the token and its log-probability.
    std::pair<std::int64_t, float> sample(const runtime::MultiArray& logits);

private:
    std::vector<float> scratch_;
    std::vector<std::int32_t> order_;
};

// Declared for completeness; the decoder never creates one. Construction validates the beam
// parameters; update() and finalize() throw WhisperError (decodingFailed) "Not implemented: ...".
class BeamSearchTokenSampler final : public TokenSampling {
public:
    // Throws WhisperError (decodingFailed) "Invalid beam size <b> or patience <p>" when
    // beamSize x patience truncates to 0 or less.
    BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience = 1);

    const std::int64_t beamSize;
    const std::int64_t eotToken;
    const float patience;
    const std::int64_t maxCandidates;
    std::vector<float> finishedSequences{};

    asio::awaitable<SamplingResult> update(
        std::vector<std::int64_t> tokens, runtime::MultiArray logits, std::vector<float> logProbs) override;
    SamplingResult finalize(std::vector<std::int64_t> tokens, std::vector<float> logProbs) override;
};

} // namespace auralis
