#include "Auralis/Core/Text/TokenSampler.h"

#include "Auralis/Utilities/WhisperError.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <sstream>

namespace auralis {

namespace {

// u uniformly from [0, 1) with 24 random bits, so the float never rounds up to 1.
float systemUniform()
{
    thread_local std::random_device device;
    const auto bits = static_cast<std::uint32_t>(device()) >> 8;
    return static_cast<float>(bits) * (1.0f / 16777216.0f);
}

} // namespace

GreedyTokenSampler::GreedyTokenSampler(runtime::Float16 temperature, std::int64_t eotToken, DecodingOptions decodingOptions)
    : temperature(temperature), eotToken(eotToken), decodingOptions(std::move(decodingOptions))
{
}

std::pair<std::int64_t, float> GreedyTokenSampler::sample(const runtime::MultiArray& logits)
{
    if (logits.empty() || logits.dataType() != runtime::MultiArrayDataType::float16 || logits.count() == 0) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "Sampling error: logits must be a float16 array");
    }
    const auto bits = logits.float16Bits();
    const std::size_t count = bits.size();
    scratch_.resize(count);
    runtime::convertHalfToFloat(bits.data(), scratch_.data(), count);

    const float t = temperature.toFloat();
    if (t != 0.0f) {
        const float inverse = 1.0f / t;
        for (auto& value : scratch_) {
            value *= inverse;
        }
    }
    const auto maxIt = std::max_element(scratch_.begin(), scratch_.end());
    const float maximum = *maxIt;
    if (!std::isfinite(maximum)) {
        // Every token forbidden (or a broken row): the first candidate, impossible.
        return {static_cast<std::int64_t>(maxIt - scratch_.begin()), -std::numeric_limits<float>::infinity()};
    }
    // Softmax in place.
    float sum = 0;
    for (auto& value : scratch_) {
        value = std::exp(value - maximum);
        sum += value;
    }
    const float inverseSum = 1.0f / sum;
    for (auto& value : scratch_) {
        value *= inverseSum;
    }

    if (t == 0.0f) {
        const auto token = static_cast<std::int64_t>(maxIt - scratch_.begin());
        return {token, std::log(scratch_[static_cast<std::size_t>(token)])};
    }

    const auto k = static_cast<std::size_t>(
        std::clamp<std::int64_t>(decodingOptions.topK, 1, static_cast<std::int64_t>(count)));
    order_.resize(count);
    std::iota(order_.begin(), order_.end(), 0);
    // Highest probability first; equal probabilities keep increasing ids.
    std::partial_sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(k), order_.end(),
        [this](std::int32_t a, std::int32_t b) {
            return scratch_[static_cast<std::size_t>(a)] > scratch_[static_cast<std::size_t>(b)]
                || (scratch_[static_cast<std::size_t>(a)] == scratch_[static_cast<std::size_t>(b)] && a < b);
        });
    float topSum = 0;
    for (std::size_t i = 0; i < k; ++i) {
        topSum += scratch_[static_cast<std::size_t>(order_[i])];
    }
    const float threshold = systemUniform() * topSum;
    // The first position whose running sum reaches the threshold; the last one when rounding
    // leaves every running sum below it.
    std::size_t chosen = k - 1;
    float running = 0;
    for (std::size_t i = 0; i < k; ++i) {
        running += scratch_[static_cast<std::size_t>(order_[i])];
        if (running >= threshold) {
            chosen = i;
            break;
        }
    }
    const auto token = static_cast<std::int64_t>(order_[chosen]);
    return {token, std::log(scratch_[static_cast<std::size_t>(token)])};
}

asio::awaitable<SamplingResult> GreedyTokenSampler::update(
    std::vector<std::int64_t> tokens, runtime::MultiArray logits, std::vector<float> logProbs)
{
    const auto [token, logProb] = sample(logits);
    tokens.push_back(token);
    logProbs.push_back(logProb);
    co_return SamplingResult{std::move(tokens), std::move(logProbs), token == eotToken};
}

SamplingResult GreedyTokenSampler::finalize(std::vector<std::int64_t> tokens, std::vector<float> logProbs)
{
    if (tokens.empty() || tokens.back() != eotToken) {
        tokens.push_back(eotToken);
        logProbs.push_back(0);
    }
    return SamplingResult{std::move(tokens), std::move(logProbs), true};
}

namespace {

std::int64_t validatedCandidates(std::int64_t beamSize, float patience)
{
    const auto candidates = static_cast<std::int64_t>(static_cast<float>(beamSize) * patience);
    if (!(static_cast<float>(beamSize) * patience >= 1.0f) || candidates <= 0) {
        std::ostringstream message;
        message << "Invalid beam size " << beamSize << " or patience " << patience;
        throw WhisperError(WhisperError::Kind::decodingFailed, message.str());
    }
    return candidates;
}

} // namespace

BeamSearchTokenSampler::BeamSearchTokenSampler(std::int64_t beamSize, std::int64_t eotToken, float patience)
    : beamSize(beamSize), eotToken(eotToken), patience(patience), maxCandidates(validatedCandidates(beamSize, patience))
{
}

asio::awaitable<SamplingResult> BeamSearchTokenSampler::update(
    std::vector<std::int64_t>, runtime::MultiArray, std::vector<float>)
{
    throw WhisperError(WhisperError::Kind::decodingFailed, "Not implemented: update(tokens:logits:logProbs:)");
    co_return SamplingResult{};
}

SamplingResult BeamSearchTokenSampler::finalize(std::vector<std::int64_t>, std::vector<float>)
{
    throw WhisperError(WhisperError::Kind::decodingFailed, "Not implemented: finalize(tokens:logProbs:)");
}

} // namespace auralis
