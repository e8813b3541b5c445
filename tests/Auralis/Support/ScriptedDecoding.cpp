#include "tests/Auralis/Support/ScriptedDecoding.h"

#include "Auralis/Runtime/Float16.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace auralis::testing {

namespace {

const std::vector<std::pair<std::string, std::int64_t>>& languageIds()
{
    static const std::vector<std::pair<std::string, std::int64_t>> ids{
        {"en", 50259}, {"zh", 50260}, {"de", 50261}, {"es", 50262}, {"ru", 50263}, {"fr", 50265}};
    return ids;
}

} // namespace

TableTokenizer::TableTokenizer(std::map<std::int64_t, std::string> texts) : texts_(std::move(texts))
{
    for (const auto& [code, id] : languageIds()) {
        languageTokens_.insert(id);
    }
}

std::vector<std::int64_t> TableTokenizer::encode(std::string_view text) const
{
    for (const auto& [id, value] : texts_) {
        if (value == text) {
            return {id};
        }
    }
    return {};
}

std::string TableTokenizer::decode(const std::vector<std::int64_t>& tokens) const
{
    std::string text;
    for (const auto token : tokens) {
        text += convertIdToToken(token).value_or("");
    }
    return text;
}

std::optional<std::int64_t> TableTokenizer::convertTokenToId(std::string_view token) const
{
    static const std::map<std::string, std::int64_t, std::less<>> special{{"<|endoftext|>", kEnd},
        {"<|startoftranscript|>", kStartOfTranscript}, {"<|translate|>", kTranslate}, {"<|transcribe|>", kTranscribe},
        {"<|startofprev|>", kStartOfPrevious}, {"<|notimestamps|>", kNoTimestamps}};
    if (const auto it = special.find(token); it != special.end()) {
        return it->second;
    }
    for (const auto& [code, id] : languageIds()) {
        if (token == "<|" + code + "|>") {
            return id;
        }
    }
    const auto ids = encode(token);
    if (ids.size() == 1) {
        return ids.front();
    }
    return std::nullopt;
}

std::optional<std::string> TableTokenizer::convertIdToToken(std::int64_t id) const
{
    if (const auto it = texts_.find(id); it != texts_.end()) {
        return it->second;
    }
    if (id >= kTimeBegin && id < kVocabularySize) {
        char text[32];
        std::snprintf(text, sizeof text, "<|%.2f|>", static_cast<double>(id - kTimeBegin) * 0.02);
        return text;
    }
    for (const auto& [code, languageId] : languageIds()) {
        if (languageId == id) {
            return "<|" + code + "|>";
        }
    }
    switch (id) {
    case kEnd:
        return "<|endoftext|>";
    case kStartOfTranscript:
        return "<|startoftranscript|>";
    case kTranslate:
        return "<|translate|>";
    case kTranscribe:
        return "<|transcribe|>";
    case kStartOfPrevious:
        return "<|startofprev|>";
    case kNoTimestamps:
        return "<|notimestamps|>";
    default:
        break;
    }
    if (id >= 0 && id < kEnd) {
        return "<" + std::to_string(id) + ">";
    }
    return std::nullopt;
}

WordTokens TableTokenizer::splitToWordTokens(const std::vector<std::int64_t>& tokenIds) const
{
    WordTokens result;
    for (const auto token : tokenIds) {
        result.words.push_back(decode({token}));
        result.wordTokens.push_back({token});
    }
    return result;
}

ScriptedTextDecoder::ScriptedTextDecoder(std::vector<ScriptedStep> steps, bool alignment)
    : steps(std::move(steps)), alignment_(alignment)
{
}

asio::awaitable<std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>>> ScriptedTextDecoder::predictLogits(
    const TextDecoderMLMultiArrayInputType& inputs)
{
    const auto position = static_cast<std::int64_t>(inputs.cacheLength.value(0));
    fedTokens.push_back(static_cast<std::int64_t>(inputs.inputIds.value(0)));
    fedPositions.push_back(position);
    const auto& step = steps.at(std::min(calls_, steps.size() - 1));
    ++calls_;

    std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>> result;
    if (!omitLogits) {
        result.first = makeLogits(step.logits);
    }
    DecodingCache cache;
    cache.keyCache = runtime::MultiArray({1, kEmbed, 1, 1}, runtime::MultiArrayDataType::float16, static_cast<double>(position + 1));
    if (!omitValueCache) {
        cache.valueCache = runtime::MultiArray({1, kEmbed, 1, 1}, runtime::MultiArrayDataType::float16, static_cast<double>(position + 1));
    }
    if (alignment_) {
        runtime::MultiArray weights({1, kWindow}, runtime::MultiArrayDataType::float16, 0);
        weights.setValue(static_cast<std::size_t>(std::min(position, kWindow - 1)), 1);
        cache.alignmentWeights = weights;
    }
    result.second = std::move(cache);
    co_return result;
}

runtime::MultiArray makeLogits(const std::map<std::int64_t, float>& values, std::int64_t vocabulary)
{
    runtime::MultiArray logits({1, 1, vocabulary}, runtime::MultiArrayDataType::float16,
        -std::numeric_limits<double>::infinity());
    for (const auto& [token, value] : values) {
        logits.setValue(static_cast<std::size_t>(token), value);
    }
    return logits;
}

runtime::MultiArray scriptedEncoderOutput()
{
    return runtime::MultiArray({1, ScriptedTextDecoder::kEmbed, 1, ScriptedTextDecoder::kWindow},
        runtime::MultiArrayDataType::float32, 0.5);
}

} // namespace auralis::testing
