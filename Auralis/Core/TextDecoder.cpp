#include "Auralis/Core/TextDecoder.h"

#include "Auralis/Core/Constants.h"
#include "Auralis/Core/DecodingFallback.h"
#include "Auralis/Utilities/Logging.h"
#include "Auralis/Utilities/Rounding.h"
#include "Auralis/Utilities/TextUtilities.h"
#include "Auralis/Utilities/WhisperError.h"
#include "Foundation/Uuid.h"

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <future>
#include <numeric>

namespace auralis {

namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

WhisperError prepareFailed(const std::string& message)
{
    return WhisperError(WhisperError::Kind::prepareDecoderInputsFailed, message);
}

std::string decodedToken(const WhisperTokenizer& tokenizer, std::int64_t token)
{
    return tokenizer.decode({token});
}

std::string currentDateText()
{
    const auto now = std::chrono::system_clock::now();
    const auto time = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return buffer;
}

} // namespace

// One low-priority thread that runs progress callbacks in order, off the decoding path.
class ProgressWorker {
public:
    ProgressWorker()
    {
        asio::post(pool_, [] {
            // Nice 10 for this thread only; failure just leaves the default priority.
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
        });
    }
    ~ProgressWorker() { pool_.join(); }

    template <typename F>
    void post(F job)
    {
        asio::post(pool_, std::move(job));
    }

    void drain()
    {
        std::promise<void> done;
        auto future = done.get_future();
        asio::post(pool_, [&done] { done.set_value(); });
        future.wait();
    }

private:
    asio::thread_pool pool_{1};
};

// MARK: DecodingInputs

DecodingInputs::DecodingInputs(std::vector<std::int64_t> initialPrompt, std::int64_t kvCacheEmbedDim,
    std::int64_t kvCacheMaxSequenceLength, std::int64_t windowSize)
    : keyCache({1, kvCacheEmbedDim, 1, kvCacheMaxSequenceLength}, runtime::MultiArrayDataType::float16, 0),
      valueCache({1, kvCacheEmbedDim, 1, kvCacheMaxSequenceLength}, runtime::MultiArrayDataType::float16, 0),
      alignmentWeights({kvCacheMaxSequenceLength, windowSize}, runtime::MultiArrayDataType::float16, 0),
      kvCacheUpdateMask({1, kvCacheMaxSequenceLength}, runtime::MultiArrayDataType::int32, 0),
      decoderKeyPaddingMask({1, kvCacheMaxSequenceLength}, runtime::MultiArrayDataType::float16, -10000),
      initialPrompt_(std::move(initialPrompt)),
      inputIds_({1}, runtime::MultiArrayDataType::int32, 0),
      cacheLength_({1}, runtime::MultiArrayDataType::int32, 0)
{
    kvCacheUpdateMask.setValue(0, 1);
    decoderKeyPaddingMask.setValue(0, 0);
}

void DecodingInputs::reset(std::int64_t maxTokenContext)
{
    const auto slots = static_cast<std::int64_t>(kvCacheUpdateMask.count());
    const auto n = std::clamp<std::int64_t>(maxTokenContext, 1, slots);
    cacheLength_.int32Values()[0] = 0;
    auto padding = decoderKeyPaddingMask.float16Bits();
    auto update = kvCacheUpdateMask.int32Values();
    padding[0] = runtime::floatToHalfBits(0);
    update[0] = 1;
    const auto closed = runtime::floatToHalfBits(-10000);
    for (std::int64_t p = 1; p < n; ++p) {
        padding[static_cast<std::size_t>(p)] = closed;
        update[static_cast<std::size_t>(p)] = 0;
    }
}

// MARK: Shared decoder operations

std::shared_ptr<DecodingInputs> TextDecoding::prepareDecoderInputs(std::vector<std::int64_t> withPrompt) const
{
    const auto embed = kvCacheEmbedDim();
    if (!embed) {
        throw prepareFailed("Unable to determine kvCacheEmbedDim");
    }
    const auto slots = kvCacheMaxSequenceLength();
    if (!slots) {
        throw prepareFailed("Unable to determine kvCacheMaxSequenceLength");
    }
    const auto window = windowSize();
    if (!window) {
        throw prepareFailed("Unable to determine encoderOutputDim");
    }
    return std::make_shared<DecodingInputs>(std::move(withPrompt), *embed, *slots, *window);
}

asio::awaitable<std::shared_ptr<DecodingInputsType>> TextDecoding::prefillDecoderInputs(
    std::shared_ptr<DecodingInputsType> inputs, std::optional<DecodingOptions> withOptions) const
{
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) {
        throw WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    }
    auto* decodingInputs = dynamic_cast<DecodingInputs*>(inputs.get());
    if (decodingInputs == nullptr) {
        throw prepareFailed("Unable to cast decoderInputs to DecodingInputs");
    }
    const auto& special = tokenizer->specialTokens();
    std::vector<std::int64_t> prompt{special.startOfTranscriptToken};
    if (withOptions) {
        const auto& options = *withOptions;
        if (isModelMultilingual()) {
            const auto language = options.language.value_or(std::string(Constants::defaultLanguageCode));
            prompt.push_back(tokenizer->convertTokenToId("<|" + language + "|>").value_or(special.englishToken));
            const char* task = options.task == DecodingTask::translate ? "<|translate|>" : "<|transcribe|>";
            prompt.push_back(tokenizer->convertTokenToId(task).value_or(special.transcribeToken));
        }
        prompt.push_back(options.withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
        const auto textTokensOf = [&](const std::vector<std::int64_t>& tokens, std::size_t keepLast) {
            std::vector<std::int64_t> kept;
            const auto first = tokens.size() > keepLast ? tokens.size() - keepLast : 0;
            for (auto i = first; i < tokens.size(); ++i) {
                if (tokens[i] < special.specialTokenBegin) {
                    kept.push_back(tokens[i]);
                }
            }
            return kept;
        };
        if (options.promptTokens) {
            auto previous = textTokensOf(*options.promptTokens, 111);
            previous.insert(previous.begin(), special.startOfPreviousToken);
            prompt.insert(prompt.begin(), previous.begin(), previous.end());
        }
        if (options.prefixTokens) {
            const auto prefix = textTokensOf(*options.prefixTokens, 112);
            prompt.insert(prompt.end(), prefix.begin(), prefix.end());
        }
    }
    decodingInputs->initialPrompt() = std::move(prompt);
    decodingInputs->kvCacheUpdateMask.setValue(0, 1);
    decodingInputs->decoderKeyPaddingMask.setValue(0, 0);
    co_return inputs;
}

void TextDecoding::updateKVCache(runtime::MultiArray& keyTensor, const runtime::MultiArray& keySlice,
    runtime::MultiArray& valueTensor, const runtime::MultiArray& valueSlice, std::int64_t insertAtIndex)
{
    auto keys = keyTensor.float16Bits();
    auto values = valueTensor.float16Bits();
    const auto keyUpdates = keySlice.float16Bits();
    const auto valueUpdates = valueSlice.float16Bits();
    const auto channels = keyTensor.shape().at(1);
    const auto slots = keyTensor.shape().at(3);
    const auto sliceLength = keySlice.shape().at(3);
    const auto tensorChannelStride = keyTensor.strides().at(1);
    const auto tensorSlotStride = keyTensor.strides().at(3);
    const auto sliceChannelStride = keySlice.strides().at(1);
    const auto sliceSlotStride = keySlice.strides().at(3);
    const auto sliceChannels = std::min(channels, keySlice.shape().at(1));
    if (valueTensor.count() != keyTensor.count() || valueUpdates.size() < keyUpdates.size()) {
        throw WhisperError(WhisperError::Kind::decodingLogitsFailed, "Invalid model output");
    }
    for (std::int64_t e = 0; e < sliceChannels; ++e) {
        for (std::int64_t j = 0; j < sliceLength && insertAtIndex + j < slots; ++j) {
            const auto to = static_cast<std::size_t>(e * tensorChannelStride + (insertAtIndex + j) * tensorSlotStride);
            const auto from = static_cast<std::size_t>(e * sliceChannelStride + j * sliceSlotStride);
            keys[to] = keyUpdates[from];
            values[to] = valueUpdates[from];
        }
    }
}

void TextDecoding::updateAlignmentWeights(
    runtime::MultiArray& alignmentTensor, const runtime::MultiArray& alignmentSlice, std::int64_t insertAtIndex)
{
    const auto rows = alignmentTensor.shape().at(0);
    const auto row = insertAtIndex + 1;
    if (row < 0 || row >= rows) {
        return;
    }
    auto tensor = alignmentTensor.float16Bits();
    const auto slice = alignmentSlice.float16Bits();
    const auto columns = alignmentTensor.shape().at(1);
    const auto sliceStride = alignmentSlice.shape().size() > 1 ? alignmentSlice.strides().at(1) : 1;
    for (std::int64_t c = 0; c < columns; ++c) {
        const auto from = static_cast<std::size_t>(c * sliceStride);
        if (from >= slice.size()) {
            break;
        }
        tensor[static_cast<std::size_t>(row * columns + c)] = slice[from];
    }
}

// MARK: EarlyStopRegistry

void EarlyStopRegistry::set(const std::string& windowId, bool stop)
{
    std::lock_guard lock(mutex_);
    flags_[windowId] = stop;
}

std::optional<bool> EarlyStopRegistry::get(const std::string& windowId) const
{
    std::lock_guard lock(mutex_);
    const auto it = flags_.find(windowId);
    if (it == flags_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<bool> EarlyStopRegistry::remove(const std::string& windowId)
{
    std::lock_guard lock(mutex_);
    const auto it = flags_.find(windowId);
    if (it == flags_.end()) {
        return std::nullopt;
    }
    const bool flag = it->second;
    flags_.erase(it);
    return flag;
}

// MARK: TextDecoder

TextDecoder::TextDecoder() : progressWorker_(std::make_unique<ProgressWorker>()) {}

TextDecoder::~TextDecoder() = default;

namespace {

std::optional<std::int64_t> widened(std::optional<int> size)
{
    if (!size) {
        return std::nullopt;
    }
    return *size;
}

} // namespace

bool TextDecoder::supportsWordTimestamps() const
{
    return outputDimension(model().get(), "alignment_heads_weights", 0).has_value();
}

std::optional<std::int64_t> TextDecoder::logitsSize() const
{
    return widened(outputDimension(model().get(), "logits", 2));
}

std::optional<std::int64_t> TextDecoder::kvCacheEmbedDim() const
{
    return widened(inputDimension(model().get(), "key_cache", 1));
}

std::optional<std::int64_t> TextDecoder::kvCacheMaxSequenceLength() const
{
    return widened(inputDimension(model().get(), "key_cache", 3));
}

std::optional<std::int64_t> TextDecoder::windowSize() const
{
    return widened(inputDimension(model().get(), "encoder_output_embeds", 3));
}

std::optional<std::int64_t> TextDecoder::embedSize() const
{
    return widened(inputDimension(model().get(), "encoder_output_embeds", 1));
}

asio::awaitable<std::unique_ptr<TextDecoderOutputType>> TextDecoder::predictLogits(const TextDecoderInputType& inputs)
{
    const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&inputs);
    if (arrays == nullptr) {
        throw WhisperError(WhisperError::Kind::transcriptionFailed, "Input must be TextDecoderMLMultiArrayInputType");
    }
    auto [logits, cache] = co_await predictLogits(*arrays);
    auto output = std::make_unique<TextDecoderMLMultiArrayOutputType>();
    output->logits = std::move(logits);
    output->cache = std::move(cache);
    co_return output;
}

asio::awaitable<std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>>> TextDecoder::predictLogits(
    const TextDecoderMLMultiArrayInputType& inputs)
{
    using Result = std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>>;
    const auto loaded = model();
    if (!loaded) {
        co_return Result{};
    }
    co_await throwIfCancelled();
    const runtime::DictionaryFeatureProvider features{
        {"input_ids", inputs.inputIds},
        {"cache_length", inputs.cacheLength},
        {"key_cache", inputs.keyCache},
        {"value_cache", inputs.valueCache},
        {"kv_cache_update_mask", inputs.kvCacheUpdateMask},
        {"encoder_output_embeds", inputs.encoderOutputEmbeds},
        {"decoder_key_padding_mask", inputs.decoderKeyPaddingMask},
    };
    const auto outputs = loaded->prediction(features);
    const auto arrayOrNone = [&](const char* name) -> std::optional<runtime::MultiArray> {
        auto array = outputs.array(name);
        if (array.empty()) {
            return std::nullopt;
        }
        return array;
    };
    Result result;
    result.first = arrayOrNone("logits");
    DecodingCache cache;
    cache.keyCache = arrayOrNone("key_cache_updates");
    cache.valueCache = arrayOrNone("value_cache_updates");
    cache.alignmentWeights = arrayOrNone("alignment_heads_weights");
    result.second = std::move(cache);
    co_return result;
}

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(const DecodingOptions& options,
    std::int64_t prefilledIndex, std::int64_t initialPromptIndex, const WhisperTokenizer& tokenizer) const
{
    std::vector<std::shared_ptr<LogitsFiltering>> filters = logitsFilters_;
    const auto& special = tokenizer.specialTokens();
    if (options.suppressBlank) {
        filters.push_back(std::make_shared<SuppressBlankFilter>(special, prefilledIndex));
    }
    if (!options.suppressTokens.empty()) {
        std::vector<std::int64_t> text;
        for (const auto token : options.suppressTokens) {
            if (token < special.specialTokenBegin) {
                text.push_back(token);
            }
        }
        filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(text)));
    }
    if (options.withoutTimestamps) {
        return filters;
    }
    std::optional<std::int64_t> maxInitialTimestampIndex;
    if (options.maxInitialTimestamp) {
        const float seconds = *options.maxInitialTimestamp;
        // 1500 steps of 0.02 s span one window; anything else cannot name a timestamp token.
        const float index = seconds / Constants::secondsPerTimeToken;
        if (!std::isfinite(seconds) || seconds < 0 || index > 1500.0f) {
            throw WhisperError(WhisperError::Kind::decodingFailed,
                "Invalid maxInitialTimestamp " + std::to_string(seconds) + ": must be between 0 and 30 seconds");
        }
        maxInitialTimestampIndex = static_cast<std::int64_t>(index);
    }
    filters.push_back(std::make_shared<TimestampRulesFilter>(
        special, initialPromptIndex, maxInitialTimestampIndex, isModelMultilingual_));
    return filters;
}

void TextDecoder::waitForProgressCallbacks()
{
    progressWorker_->drain();
}

void TextDecoder::logDebugTable(DecodingInputs& inputs, std::int64_t prefilledIndex) const
{
    if (!Logging::isEnabled(LogLevel::debug)) {
        return;
    }
    Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    char line[160];
    std::snprintf(line, sizeof line, "Cache Length: %2.0f Input Token: %4.0f",
        static_cast<double>(inputs.cacheLength().value(0)), static_cast<double>(inputs.inputIds().value(0)));
    Logging::debug(line);
    Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    const auto rows = std::min<std::int64_t>({prefilledIndex + 4, 224, static_cast<std::int64_t>(inputs.kvCacheUpdateMask.count())});
    for (std::int64_t p = 0; p < rows; ++p) {
        const auto i = static_cast<std::size_t>(p);
        std::snprintf(line, sizeof line, "%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d", inputs.keyCache.value(i),
            inputs.valueCache.value(i), inputs.alignmentWeights.value(i), inputs.kvCacheUpdateMask.value(i),
            inputs.decoderKeyPaddingMask.value(i), static_cast<int>(p));
        Logging::debug(line);
    }
}

asio::awaitable<DecodedWindow> TextDecoder::decodeText(runtime::MultiArray from,
    std::shared_ptr<DecodingInputsType> using_, TokenSampling& sampler, DecodingOptions options, TranscriptionCallback callback)
{
    const auto tokenizer = tokenizer_;
    if (!tokenizer) {
        throw WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    }
    const auto& special = tokenizer->specialTokens();
    const bool debug = Logging::isEnabled(LogLevel::debug);

    const auto prefilledIndex = static_cast<std::int64_t>(using_->cacheLength().value(0));
    std::vector<std::int64_t> currentTokens = using_->initialPrompt();
    if (currentTokens.empty()) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "The initial prompt is empty");
    }
    const auto promptCount = static_cast<std::int64_t>(currentTokens.size());
    std::int64_t nextToken = currentTokens.back();
    std::vector<float> logProbs(currentTokens.size(), 0.0f);

    const auto filters = createLogitsFilters(options, prefilledIndex, promptCount, *tokenizer);

    auto loopBound = std::min<std::int64_t>(options.sampleLength, Constants::maxTokenContext - 1);
    if (loopBound < prefilledIndex) {
        throw WhisperError(WhisperError::Kind::decodingFailed,
            "Sample length " + std::to_string(options.sampleLength) + " is below the prefilled index "
                + std::to_string(prefilledIndex));
    }
    if (debug) {
        Logging::debug("Running main loop for a maximum of " + std::to_string(loopBound)
            + " iterations, starting at index " + std::to_string(prefilledIndex));
    }

    TranscriptionTimings timings;
    const std::string windowId = hushnote::makeUuidString();
    earlyStopActor->set(windowId, false);
    bool isFirstTokenLogProbTooLow = false;
    bool hasAlignment = false;
    auto* decodingInputs = dynamic_cast<DecodingInputs*>(using_.get());
    const auto loopStart = SteadyClock::now();

    // The registry entry must not outlive the window, also when the loop fails.
    struct FlagRemoval {
        EarlyStopRegistry& registry;
        const std::string& windowId;
        bool removed = false;
        ~FlagRemoval()
        {
            if (!removed) {
                registry.remove(windowId);
            }
        }
    } flagRemoval{*earlyStopActor, windowId};

    for (auto i = prefilledIndex; i < loopBound; ++i) {
        const auto iterationStart = SteadyClock::now();
        if (i < promptCount) {
            const auto q = currentTokens[static_cast<std::size_t>(i)];
            if (promptCount == i + 1 && q >= special.timeTokenBegin && nextToken >= special.timeTokenBegin) {
                currentTokens[static_cast<std::size_t>(promptCount - 1)] = nextToken;
                if (debug) {
                    Logging::debug("Skipping prompt tokenIndex: " + std::to_string(promptCount - 1) + ", token: "
                        + std::to_string(nextToken) + ", text: " + decodedToken(*tokenizer, nextToken));
                }
            } else {
                nextToken = q;
                if (debug) {
                    Logging::debug("Forcing prompt tokenIndex: " + std::to_string(i) + ", token: " + std::to_string(q)
                        + ", text: " + decodedToken(*tokenizer, q));
                }
            }
        }

        if (decodingInputs == nullptr) {
            throw prepareFailed("DecodingInputsType must be DecodingInputs");
        }
        // The cache has no slot for this position (a model with a shorter context).
        if (i >= static_cast<std::int64_t>(decodingInputs->kvCacheUpdateMask.count())) {
            break;
        }
        decodingInputs->inputIds().int32Values()[0] = static_cast<std::int32_t>(nextToken);
        decodingInputs->cacheLength().int32Values()[0] = static_cast<std::int32_t>(i);
        if (i <= prefilledIndex + 3) {
            logDebugTable(*decodingInputs, prefilledIndex);
        }

        if (from.empty()) {
            throw prepareFailed("Input must be MLMultiArray");
        }
        const auto predictionStart = SteadyClock::now();
        auto [logits, cache] = co_await predictLogits(TextDecoderMLMultiArrayInputType(decodingInputs->inputIds(),
            decodingInputs->cacheLength(), decodingInputs->keyCache, decodingInputs->valueCache,
            decodingInputs->kvCacheUpdateMask, from, decodingInputs->decoderKeyPaddingMask));
        if (!logits || logits->empty()) {
            throw WhisperError(WhisperError::Kind::decodingLogitsFailed, "Unable to decode logits");
        }
        if (!cache || !cache->keyCache || !cache->valueCache) {
            throw WhisperError(WhisperError::Kind::decodingLogitsFailed, "Invalid model output");
        }
        const double predictionSeconds = secondsSince(predictionStart);
        timings.decodingPredictions += predictionSeconds;
        timings.totalDecodingLoops += 1;

        const auto filteringStart = SteadyClock::now();
        runtime::MultiArray filtered = *logits;
        for (const auto& filter : filters) {
            filtered = filter->filterLogits(std::move(filtered), currentTokens);
        }
        timings.decodingFiltering += secondsSince(filteringStart);

        const auto samplingStart = SteadyClock::now();
        auto sampled = co_await sampler.update(currentTokens, filtered, logProbs);
        if (sampled.tokens.empty() || sampled.logProbs.empty()) {
            throw WhisperError(WhisperError::Kind::decodingFailed, "Sampling error: the sampler returned no token");
        }
        nextToken = sampled.tokens.back();
        const float nextLogProb = sampled.logProbs.back();
        if (debug) {
            Logging::debug("Predicted next tokenIndex: " + std::to_string(i + 1) + ", token: " + std::to_string(nextToken)
                + ", text: " + decodedToken(*tokenizer, nextToken));
        }
        timings.decodingSampling += secondsSince(samplingStart);

        isFirstTokenLogProbTooLow = options.firstTokenLogProbThreshold && i == prefilledIndex
            && nextLogProb < *options.firstTokenLogProbThreshold;
        const bool isSegmentCompleted = sampled.completed || currentTokens.size() >= 223 || isFirstTokenLogProbTooLow;
        if (isSegmentCompleted) {
            timings.decodingNonPrediction += secondsSince(iterationStart) - predictionSeconds;
            break;
        }
        if (i >= promptCount - 1) {
            currentTokens.push_back(nextToken);
            logProbs.push_back(nextLogProb);
        }

        const auto cachingStart = SteadyClock::now();
        updateKVCache(decodingInputs->keyCache, *cache->keyCache, decodingInputs->valueCache, *cache->valueCache, i);
        const auto slots = static_cast<std::int64_t>(decodingInputs->kvCacheUpdateMask.count());
        auto update = decodingInputs->kvCacheUpdateMask.int32Values();
        update[static_cast<std::size_t>(i)] = 0;
        if (i + 1 < slots) {
            decodingInputs->decoderKeyPaddingMask.float16Bits()[static_cast<std::size_t>(i + 1)] = 0;
            update[static_cast<std::size_t>(i + 1)] = 1;
        }
        if (cache->alignmentWeights) {
            updateAlignmentWeights(decodingInputs->alignmentWeights, *cache->alignmentWeights, i);
            hasAlignment = true;
        }
        timings.decodingKvCaching += secondsSince(cachingStart);
        timings.totalKVUpdateRuns += 1;

        if (callback) {
            std::vector<std::int64_t> textTokens;
            if (options.skipSpecialTokens) {
                std::copy_if(currentTokens.begin(), currentTokens.end(), std::back_inserter(textTokens),
                    [&](std::int64_t token) { return token < special.specialTokenBegin; });
            } else {
                textTokens = currentTokens;
            }
            TranscriptionProgress progress;
            progress.timings = timings;
            progress.text = tokenizer->decode(textTokens);
            progress.tokens = currentTokens;
            progress.avgLogprob = std::accumulate(logProbs.begin(), logProbs.end(), 0.0f) / static_cast<float>(logProbs.size());
            progress.compressionRatio = compressionRatio(currentTokens);
            progress.windowId = 0;
            const bool pastPrompt = i >= promptCount - 1;
            progressWorker_->post([callback, progress = std::move(progress), registry = earlyStopActor, windowId, pastPrompt] {
                try {
                    const auto answer = callback(progress);
                    if (answer && !*answer && pastPrompt) {
                        Logging::debug("Early stopping");
                        registry->set(windowId, true);
                    }
                } catch (...) {
                    Logging::error("Progress callback failed");
                }
            });
        }

        if (i == prefilledIndex) {
            if (debug) {
                Logging::debug("Found first token at: " + currentDateText());
            }
            timings.firstTokenTime = currentAbsoluteTime();
        }
        timings.decodingNonPrediction += secondsSince(iterationStart) - predictionSeconds;

        if (earlyStopActor->get(windowId).value_or(false)) {
            break;
        }
    }
    flagRemoval.removed = true;
    if (!earlyStopActor->remove(windowId)) {
        Logging::error("Early stop flag not found for window: " + windowId);
    }
    timings.decodingLoop = secondsSince(loopStart);

    DecodedWindow window;
    if (decodingInputs != nullptr) {
        DecodingCache cache;
        cache.keyCache = decodingInputs->keyCache;
        cache.valueCache = decodingInputs->valueCache;
        if (hasAlignment) {
            cache.alignmentWeights = decodingInputs->alignmentWeights;
        }
        window.cache = std::move(cache);
    }

    auto finalized = sampler.finalize(currentTokens, logProbs);
    const auto& finalTokens = finalized.tokens;
    const auto startIt = std::find(finalTokens.begin(), finalTokens.end(), special.startOfTranscriptToken);
    const std::size_t start = startIt == finalTokens.end() ? 0 : static_cast<std::size_t>(startIt - finalTokens.begin());
    const auto endIt = std::find(finalTokens.begin() + static_cast<std::ptrdiff_t>(start), finalTokens.end(), special.endToken);
    const std::size_t end = endIt == finalTokens.end() ? finalTokens.size() - 1 : static_cast<std::size_t>(endIt - finalTokens.begin());

    DecodingResult& result = window.result;
    result.tokens.assign(finalTokens.begin() + static_cast<std::ptrdiff_t>(start), finalTokens.begin() + static_cast<std::ptrdiff_t>(end) + 1);
    std::vector<float> cutLogProbs(finalized.logProbs.begin() + static_cast<std::ptrdiff_t>(start),
        finalized.logProbs.begin() + static_cast<std::ptrdiff_t>(std::min(end + 1, finalized.logProbs.size())));
    result.avgLogProb = cutLogProbs.empty()
        ? 0.0f
        : std::accumulate(cutLogProbs.begin(), cutLogProbs.end(), 0.0f) / static_cast<float>(cutLogProbs.size());
    for (std::size_t k = 0; k < result.tokens.size(); ++k) {
        result.tokenLogProbs.push_back({{result.tokens[k], k < cutLogProbs.size() ? cutLogProbs[k] : 0.0f}});
    }
    std::vector<std::int64_t> textTokens;
    std::copy_if(result.tokens.begin(), result.tokens.end(), std::back_inserter(textTokens),
        [&](std::int64_t token) { return token < special.specialTokenBegin; });
    result.compressionRatio = compressionRatio(textTokens);

    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) {
        result.temperature = roundedToDecimalPlaces(greedy->temperature.toFloat(), 3);
    } else {
        result.temperature = options.temperature;
    }

    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
    } else {
        const auto& languageTokens = tokenizer->allLanguageTokens();
        const auto languageIt = std::find_if(result.tokens.begin(), result.tokens.end(),
            [&](std::int64_t token) { return languageTokens.contains(token); });
        if (languageIt != result.tokens.end()) {
            const auto position = static_cast<std::size_t>(languageIt - result.tokens.begin());
            result.language = trimmingSpecialTokenCharacters(decodedToken(*tokenizer, *languageIt));
            result.languageProbs = {{result.language, position < cutLogProbs.size() ? cutLogProbs[position] : 0.0f}};
        } else {
            result.language = std::string(Constants::defaultLanguageCode);
            result.languageProbs = {{result.language, 0.0f}};
        }
    }

    result.text = tokenizer->decode(result.tokens);
    if (Logging::isEnabled(LogLevel::info)) {
        Logging::info("Completed window: " + result.text);
    }
    result.noSpeechProb = 0;
    result.fallback = DecodingFallback::make(
        options, isFirstTokenLogProbTooLow, result.noSpeechProb, result.compressionRatio, result.avgLogProb);
    result.timings = timings;
    co_return window;
}

asio::awaitable<DecodingResult> TextDecoder::detectLanguage(runtime::MultiArray from,
    std::shared_ptr<DecodingInputsType> using_, TokenSampling& sampler, DecodingOptions, float)
{
    const auto tokenizer = tokenizer_;
    if (!tokenizer) {
        throw WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    }
    const auto logitsDim = logitsSize();
    if (!logitsDim) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable, "Failed to read logits size from model");
    }
    const auto& special = tokenizer->specialTokens();
    const std::vector<std::int64_t> tokens{special.startOfTranscriptToken};
    const std::vector<float> logProbs{0.0f};
    if (!languageLogitsFilter) {
        languageLogitsFilter = std::make_shared<LanguageLogitsFilter>(tokenizer->allLanguageTokens(), *logitsDim, 0);
    }
    if (from.empty()) {
        throw prepareFailed("Input must be MLMultiArray");
    }
    auto* decodingInputs = dynamic_cast<DecodingInputs*>(using_.get());
    if (decodingInputs == nullptr) {
        throw prepareFailed("DecodingInputsType must be DecodingInputs");
    }
    decodingInputs->inputIds().int32Values()[0] = static_cast<std::int32_t>(special.startOfTranscriptToken);
    decodingInputs->cacheLength().int32Values()[0] = 0;
    Logging::debug("Detecting language...");

    TranscriptionTimings timings;
    const auto predictionStart = SteadyClock::now();
    auto [logits, cache] = co_await predictLogits(TextDecoderMLMultiArrayInputType(decodingInputs->inputIds(),
        decodingInputs->cacheLength(), decodingInputs->keyCache, decodingInputs->valueCache,
        decodingInputs->kvCacheUpdateMask, from, decodingInputs->decoderKeyPaddingMask));
    if (!logits || logits->empty()) {
        Logging::error("Unable to decode logits");
        throw WhisperError(WhisperError::Kind::decodingLogitsFailed, "Unable to decode logits from the model output");
    }
    timings.decodingPredictions = secondsSince(predictionStart);

    const auto samplingStart = SteadyClock::now();
    auto filtered = languageLogitsFilter->filterLogits(*logits, tokens);
    const auto sampled = co_await sampler.update(tokens, filtered, logProbs);
    timings.decodingSampling = secondsSince(samplingStart);

    DecodingResult result;
    const auto& languageTokens = tokenizer->allLanguageTokens();
    for (std::size_t k = 0; k < sampled.tokens.size() && k < sampled.logProbs.size(); ++k) {
        if (languageTokens.contains(sampled.tokens[k])) {
            result.languageProbs[trimmingSpecialTokenCharacters(decodedToken(*tokenizer, sampled.tokens[k]))] = sampled.logProbs[k];
        }
    }
    const auto code = sampled.tokens.empty() ? std::string() : trimmingSpecialTokenCharacters(decodedToken(*tokenizer, sampled.tokens.back()));
    if (Constants::languageCodes.contains(code)) {
        Logging::debug("Detected language: " + code);
        result.language = code;
    } else {
        Logging::error("Detected language " + code + " is not supported, defaulting to " + std::string(Constants::defaultLanguageCode));
        result.language = std::string(Constants::defaultLanguageCode);
    }
    result.timings = timings;
    co_return result;
}

} // namespace auralis
