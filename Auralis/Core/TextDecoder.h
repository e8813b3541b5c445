#pragma once

#include "Auralis/Core/DecodingOptions.h"
#include "Auralis/Core/DecodingResult.h"
#include "Auralis/Core/TranscriptionProgress.h"
#include "Auralis/Core/WhisperMLModel.h"
#include "Auralis/Core/Text/LogitsFilter.h"
#include "Auralis/Core/Text/TokenSampler.h"
#include "Auralis/Core/Text/WhisperTokenizer.h"
#include "Auralis/Runtime/MultiArray.h"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace auralis {

// The decoder's key/value caches and cross-attention weights after a window (shapes as in
// DecodingInputs). Handles: they share storage with the decoder inputs.
struct DecodingCache {
    std::optional<runtime::MultiArray> keyCache{};
    std::optional<runtime::MultiArray> valueCache{};
    std::optional<runtime::MultiArray> alignmentWeights{};
};

// The state a transcription keeps across decoding calls.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;
    virtual std::vector<std::int64_t>& initialPrompt() = 0;
    virtual runtime::MultiArray& inputIds() = 0;
    virtual runtime::MultiArray& cacheLength() = 0;
    // Reopens slot 0 and closes slots 1 to n - 1 (n clamped to the cache length; at least 1).
    virtual void reset(std::int64_t maxTokenContext) = 0;
};

// Decoder inputs for one transcription, allocated once and updated in place: with E the cache
// embedding size, S the cache length and W the encoder window, keyCache and valueCache are
// float16 [1, E, 1, S], alignmentWeights float16 [S, W], kvCacheUpdateMask int32 [1, S] (1
// marks the slot the next prediction writes) and decoderKeyPaddingMask float16 [1, S] (0 opens
// a slot, -10000 closes it). Not synchronised: one decoding call at a time.
class DecodingInputs final : public DecodingInputsType {
public:
    DecodingInputs(std::vector<std::int64_t> initialPrompt, std::int64_t kvCacheEmbedDim,
        std::int64_t kvCacheMaxSequenceLength, std::int64_t windowSize);

    std::vector<std::int64_t>& initialPrompt() override { return initialPrompt_; }
    runtime::MultiArray& inputIds() override { return inputIds_; }
    runtime::MultiArray& cacheLength() override { return cacheLength_; }
    void reset(std::int64_t maxTokenContext) override;

    runtime::MultiArray keyCache;
    runtime::MultiArray valueCache;
    runtime::MultiArray alignmentWeights;
    runtime::MultiArray kvCacheUpdateMask;
    runtime::MultiArray decoderKeyPaddingMask;

private:
    std::vector<std::int64_t> initialPrompt_;
    runtime::MultiArray inputIds_;
    runtime::MultiArray cacheLength_;
};

class TextDecoderInputType {
public:
    virtual ~TextDecoderInputType() = default;
};

// The seven decoder model inputs.
struct TextDecoderMLMultiArrayInputType final : TextDecoderInputType {
    TextDecoderMLMultiArrayInputType(runtime::MultiArray inputIds, runtime::MultiArray cacheLength,
        runtime::MultiArray keyCache, runtime::MultiArray valueCache, runtime::MultiArray kvCacheUpdateMask,
        runtime::MultiArray encoderOutputEmbeds, runtime::MultiArray decoderKeyPaddingMask)
        : inputIds(std::move(inputIds)), cacheLength(std::move(cacheLength)), keyCache(std::move(keyCache)),
          valueCache(std::move(valueCache)), kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
          encoderOutputEmbeds(std::move(encoderOutputEmbeds)), decoderKeyPaddingMask(std::move(decoderKeyPaddingMask))
    {
    }

    runtime::MultiArray inputIds;
    runtime::MultiArray cacheLength;
    runtime::MultiArray keyCache;
    runtime::MultiArray valueCache;
    runtime::MultiArray kvCacheUpdateMask;
    runtime::MultiArray encoderOutputEmbeds;
    runtime::MultiArray decoderKeyPaddingMask;
};

class TextDecoderOutputType {
public:
    virtual ~TextDecoderOutputType() = default;
};

struct TextDecoderMLMultiArrayOutputType final : TextDecoderOutputType {
    std::optional<runtime::MultiArray> logits{};
    std::optional<DecodingCache> cache{};
};

// What decodeText returns: the window's result and the caches it leaves.
struct DecodedWindow {
    DecodingResult result{};
    std::optional<DecodingCache> cache{};
};

// The text decoder as the transcription loop uses it. prepareDecoderInputs,
// prefillDecoderInputs, updateKVCache and updateAlignmentWeights are shared by every
// implementation. Operations run one at a time (the loop awaits each); they run on the
// caller's executor and block it while the model predicts.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool multilingual) = 0;
    virtual bool supportsWordTimestamps() const = 0;
    // Sizes read from the loaded model's description; nullopt without a model.
    virtual std::optional<std::int64_t> logitsSize() const = 0;
    virtual const std::vector<std::shared_ptr<LogitsFiltering>>& logitsFilters() const = 0;
    virtual void setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>> filters) = 0;
    virtual std::optional<std::int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<std::int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<std::int64_t> windowSize() const = 0;
    virtual std::optional<std::int64_t> embedSize() const = 0;

    // Throws WhisperError (transcriptionFailed) for inputs of another kind; an output without
    // logits and cache when no model is loaded. Model and cancellation errors propagate.
    virtual asio::awaitable<std::unique_ptr<TextDecoderOutputType>> predictLogits(const TextDecoderInputType& inputs) = 0;
    // The seven arrays directly: (logits, cache), both absent without a model.
    virtual asio::awaitable<std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>>> predictLogits(
        const TextDecoderMLMultiArrayInputType& inputs) = 0;

    // New decoder inputs sized from the model. Throws WhisperError (prepareDecoderInputsFailed)
    // naming the size that cannot be read.
    std::shared_ptr<DecodingInputs> prepareDecoderInputs(std::vector<std::int64_t> withPrompt) const;
    // Builds the forced start-of-transcript prompt into `inputs` (no prediction runs) and
    // returns them. Throws WhisperError (tokenizerUnavailable, prepareDecoderInputsFailed).
    asio::awaitable<std::shared_ptr<DecodingInputsType>> prefillDecoderInputs(
        std::shared_ptr<DecodingInputsType> inputs, std::optional<DecodingOptions> withOptions) const;

    // Decodes one window. `callback` runs on a low-priority worker thread, never on this
    // path, and may still run after this returns; answering false stops the window at the
    // next iteration. Throws WhisperError (see the implementation) and model errors.
    virtual asio::awaitable<DecodedWindow> decodeText(runtime::MultiArray from, std::shared_ptr<DecodingInputsType> using_,
        TokenSampling& sampler, DecodingOptions options, TranscriptionCallback callback) = 0;
    virtual asio::awaitable<DecodingResult> detectLanguage(runtime::MultiArray from,
        std::shared_ptr<DecodingInputsType> using_, TokenSampling& sampler, DecodingOptions options, float temperature) = 0;

    // Copies slice position [0, e, 0, j] to tensor position [0, e, 0, k + j] for every channel
    // e and slice position j, as raw 16-bit values by the arrays' strides (the value slice is
    // read with the key slice's strides). Writes past the tensor's last slot are dropped.
    static void updateKVCache(runtime::MultiArray& keyTensor, const runtime::MultiArray& keySlice,
        runtime::MultiArray& valueTensor, const runtime::MultiArray& valueSlice, std::int64_t insertAtIndex);
    // Row k + 1 of the [S, W] tensor takes the W values of the slice (the weights produced
    // while predicting the token at position k + 1 belong to that token). Nothing is written
    // when k + 1 is not a row.
    static void updateAlignmentWeights(
        runtime::MultiArray& alignmentTensor, const runtime::MultiArray& alignmentSlice, std::int64_t insertAtIndex);
};

// Serialised map from window identifier to early-stop flag, shared between the decoder and
// its progress tasks.
class EarlyStopRegistry {
public:
    void set(const std::string& windowId, bool stop);
    std::optional<bool> get(const std::string& windowId) const;
    std::optional<bool> remove(const std::string& windowId);

private:
    mutable std::mutex mutex_;
    std::map<std::string, bool> flags_;
};

class ProgressWorker;

// The Whisper text decoder on a loaded decoder model ("TextDecoder.mlmodelc"): one prediction
// per token, key/value cache updated in place, filters and sampler between steps. Not
// synchronised: one operation at a time. Progress callbacks run on the decoder's own
// low-priority thread; the destructor waits for pending ones.
class TextDecoder : public TextDecoding, public WhisperMLModel {
public:
    TextDecoder();
    ~TextDecoder() override;

    std::shared_ptr<EarlyStopRegistry> earlyStopActor = std::make_shared<EarlyStopRegistry>();
    // Built by the first language detection and kept.
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter;

    std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_; }
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override { tokenizer_ = std::move(tokenizer); }
    bool isModelMultilingual() const override { return isModelMultilingual_; }
    void setIsModelMultilingual(bool multilingual) override { isModelMultilingual_ = multilingual; }
    bool supportsWordTimestamps() const override;
    std::optional<std::int64_t> logitsSize() const override;
    const std::vector<std::shared_ptr<LogitsFiltering>>& logitsFilters() const override { return logitsFilters_; }
    void setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>> filters) override { logitsFilters_ = std::move(filters); }
    std::optional<std::int64_t> kvCacheEmbedDim() const override;
    std::optional<std::int64_t> kvCacheMaxSequenceLength() const override;
    std::optional<std::int64_t> windowSize() const override;
    std::optional<std::int64_t> embedSize() const override;

    asio::awaitable<std::unique_ptr<TextDecoderOutputType>> predictLogits(const TextDecoderInputType& inputs) override;
    asio::awaitable<std::pair<std::optional<runtime::MultiArray>, std::optional<DecodingCache>>> predictLogits(
        const TextDecoderMLMultiArrayInputType& inputs) override;

    asio::awaitable<DecodedWindow> decodeText(runtime::MultiArray from, std::shared_ptr<DecodingInputsType> using_,
        TokenSampling& sampler, DecodingOptions options, TranscriptionCallback callback) override;
    asio::awaitable<DecodingResult> detectLanguage(runtime::MultiArray from, std::shared_ptr<DecodingInputsType> using_,
        TokenSampling& sampler, DecodingOptions options, float temperature) override;

    // The filter chain of one window, in the order of application. Throws WhisperError
    // (decodingFailed) for a maxInitialTimestamp that is not a finite, non-negative number of
    // seconds within the timestamp range.
    std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(const DecodingOptions& options,
        std::int64_t prefilledIndex, std::int64_t initialPromptIndex, const WhisperTokenizer& tokenizer) const;

    // Blocks until every progress callback started so far has returned.
    void waitForProgressCallbacks();

private:
    void logDebugTable(DecodingInputs& inputs, std::int64_t prefilledIndex) const;

    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    bool isModelMultilingual_ = false;
    std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters_;
    std::unique_ptr<ProgressWorker> progressWorker_;
};

} // namespace auralis
