#include "Auralis/Core/TextDecoder.h"

#include "Auralis/Utilities/WhisperError.h"
#include "tests/Auralis/Support/LogCapture.h"
#include "tests/Auralis/Support/ScriptedDecoding.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

namespace auralis {
namespace {

using namespace auralis::testing;

constexpr std::int64_t kHello = 100;
constexpr std::int64_t kWorld = 200;

// A step that makes `token` the certain choice.
ScriptedStep certain(std::int64_t token)
{
    return {{{token, 10.0f}}};
}

struct Decoding {
    explicit Decoding(std::vector<ScriptedStep> steps, bool multilingual = false, bool alignment = false)
        : decoder(std::make_shared<ScriptedTextDecoder>(std::move(steps), alignment)),
          tokenizer(std::make_shared<TableTokenizer>(std::map<std::int64_t, std::string>{{kHello, " Hello"}, {kWorld, " world"}}))
    {
        decoder->setTokenizer(tokenizer);
        decoder->setIsModelMultilingual(multilingual);
    }

    DecodedWindow decode(const DecodingOptions& options, std::vector<std::int64_t> prompt = {kStartOfTranscript},
        TranscriptionCallback callback = {}, float temperature = 0)
    {
        if (!inputs) {
            inputs = decoder->prepareDecoderInputs({kStartOfTranscript});
            inputs->initialPrompt() = std::move(prompt);
        }
        GreedyTokenSampler sampler(runtime::Float16::fromFloat(temperature), kEnd, options);
        auto window = runAwaitable(decoder->decodeText(scriptedEncoderOutput(), inputs, sampler, options, callback));
        decoder->waitForProgressCallbacks();
        return window;
    }

    std::shared_ptr<ScriptedTextDecoder> decoder;
    std::shared_ptr<TableTokenizer> tokenizer;
    std::shared_ptr<DecodingInputs> inputs;
};

DecodingOptions withoutTimestamps()
{
    DecodingOptionsArguments arguments;
    arguments.withoutTimestamps = true;
    return DecodingOptions(arguments);
}

TEST(TextDecoder, PrepareCreatesInputsSizedFromTheModel)
{
    Decoding d({certain(kEnd)});
    const auto inputs = d.decoder->prepareDecoderInputs({kStartOfTranscript});
    EXPECT_EQ(inputs->keyCache.shape(), (std::vector<std::int64_t>{1, 4, 1, 224}));
    EXPECT_EQ(inputs->alignmentWeights.shape(), (std::vector<std::int64_t>{224, 16}));
    EXPECT_EQ(inputs->kvCacheUpdateMask.value(0), 1);
    EXPECT_EQ(inputs->kvCacheUpdateMask.value(1), 0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask.value(0), 0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask.value(223), -10000);
    EXPECT_EQ(inputs->initialPrompt(), std::vector<std::int64_t>{kStartOfTranscript});

    TextDecoder unloaded;
    try {
        unloaded.prepareDecoderInputs({kStartOfTranscript});
        FAIL() << "prepared without a model";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError(WhisperError::Kind::prepareDecoderInputsFailed, "Unable to determine kvCacheEmbedDim"));
    }
}

TEST(TextDecoder, PrefillBuildsTheForcedPrompt)
{
    struct Case {
        const char* name;
        bool multilingual;
        DecodingOptionsArguments arguments;
        std::vector<std::int64_t> expected;
    };
    DecodingOptionsArguments german;
    german.language = "de";
    german.promptTokens = std::vector<std::int64_t>{10, 20, kEnd};
    DecodingOptionsArguments translateNoTimestamps;
    translateNoTimestamps.task = DecodingTask::translate;
    translateNoTimestamps.withoutTimestamps = true;
    translateNoTimestamps.language = "xx";
    DecodingOptionsArguments prefix;
    prefix.prefixTokens = std::vector<std::int64_t>(200, 7);
    std::vector<std::int64_t> prefixed{kStartOfTranscript, kTimeBegin};
    prefixed.insert(prefixed.end(), 112, 7);
    const Case cases[] = {
        {"multilingual German with a previous-text prompt", true, german,
            {kStartOfPrevious, 10, 20, kStartOfTranscript, kGerman, kTranscribe, kTimeBegin}},
        {"unknown language falls back to English", true, translateNoTimestamps,
            {kStartOfTranscript, kEnglish, kTranslate, kNoTimestamps}},
        {"English-only model has no language or task", false, {}, {kStartOfTranscript, kTimeBegin}},
        {"prefix keeps its last 112 ids", false, prefix, prefixed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding d({certain(kEnd)}, c.multilingual);
        std::shared_ptr<DecodingInputsType> inputs = d.decoder->prepareDecoderInputs({kStartOfTranscript});
        inputs = runAwaitable(d.decoder->prefillDecoderInputs(inputs, DecodingOptions(c.arguments)));
        EXPECT_EQ(inputs->initialPrompt(), c.expected);
    }
}

TEST(TextDecoder, ResetReopensTheFirstSlotOnly)
{
    Decoding d({certain(kEnd)});
    const auto inputs = d.decoder->prepareDecoderInputs({kStartOfTranscript});
    for (std::size_t p = 0; p < 10; ++p) {
        inputs->kvCacheUpdateMask.setValue(p, 1);
        inputs->decoderKeyPaddingMask.setValue(p, 0);
    }
    inputs->cacheLength().setValue(0, 7);
    inputs->keyCache.setValue(0, 3);
    inputs->reset(5);
    EXPECT_EQ(inputs->cacheLength().value(0), 0);
    EXPECT_EQ(inputs->kvCacheUpdateMask.value(0), 1);
    EXPECT_EQ(inputs->decoderKeyPaddingMask.value(0), 0);
    for (std::size_t p = 1; p < 5; ++p) {
        EXPECT_EQ(inputs->kvCacheUpdateMask.value(p), 0) << p;
        EXPECT_EQ(inputs->decoderKeyPaddingMask.value(p), -10000) << p;
    }
    // Positions from n on and the caches are left alone.
    EXPECT_EQ(inputs->kvCacheUpdateMask.value(5), 1);
    EXPECT_EQ(inputs->decoderKeyPaddingMask.value(5), 0);
    EXPECT_EQ(inputs->keyCache.value(0), 3);
}

TEST(TextDecoder, ForcesThePromptAndKeepsTokensSampledAfterIt)
{
    // Prompt of four tokens: iterations 0 to 2 feed the prompt and discard their samples.
    Decoding d({certain(kWorld), certain(kWorld), certain(kWorld), certain(kHello), certain(kWorld), certain(kEnd)});
    const auto window = d.decode(withoutTimestamps(), {kStartOfTranscript, kEnglish, kTranscribe, kNoTimestamps});
    EXPECT_EQ(d.decoder->fedTokens,
        (std::vector<std::int64_t>{kStartOfTranscript, kEnglish, kTranscribe, kNoTimestamps, kHello, kWorld}));
    EXPECT_EQ(d.decoder->fedPositions, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(window.result.tokens,
        (std::vector<std::int64_t>{kStartOfTranscript, kEnglish, kTranscribe, kNoTimestamps, kHello, kWorld, kEnd}));
    EXPECT_EQ(window.result.text, "<|startoftranscript|><|en|><|transcribe|><|notimestamps|> Hello world<|endoftext|>");
    ASSERT_TRUE(window.result.timings);
    EXPECT_EQ(window.result.timings->totalDecodingLoops, 6);
    EXPECT_EQ(window.result.timings->totalKVUpdateRuns, 5);
    // Cache slot i holds the entries of the step at position i; slot 5 (the end step) is not kept.
    for (std::size_t slot = 0; slot < 5; ++slot) {
        EXPECT_EQ(d.inputs->keyCache.value(slot), static_cast<double>(slot + 1)) << slot;
        EXPECT_EQ(d.inputs->valueCache.value(224 * 3 + slot), static_cast<double>(slot + 1)) << slot;
    }
    EXPECT_EQ(d.inputs->keyCache.value(5), 0);
    EXPECT_EQ(d.inputs->decoderKeyPaddingMask.value(5), 0);
    EXPECT_EQ(d.inputs->kvCacheUpdateMask.value(5), 1);
    EXPECT_EQ(d.inputs->kvCacheUpdateMask.value(4), 0);
    EXPECT_EQ(window.result.language, "en");
    EXPECT_EQ(window.result.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
    EXPECT_FALSE(window.result.fallback.has_value());
}

TEST(TextDecoder, OnlyStartOfTranscriptLetsTheModelChooseEverything)
{
    Decoding d({certain(kEnglish), certain(kTranscribe), certain(kHello), certain(kEnd)});
    const auto window = d.decode(withoutTimestamps());
    EXPECT_EQ(window.result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, kEnglish, kTranscribe, kHello, kEnd}));
    EXPECT_EQ(window.result.language, "en");
    ASSERT_EQ(window.result.languageProbs.size(), 1u);
    EXPECT_NEAR(window.result.languageProbs.at("en"), 0.0f, 1e-3);
}

TEST(TextDecoder, ReplacesATimestampPromptEndingByTheSampledTimestamp)
{
    LogCapture log;
    const auto sampled = timestamp(0.40);
    // Step 0 (forcing sot) samples a timestamp; the prompt's 0.00 s is then replaced by it.
    Decoding d({certain(sampled), certain(kHello), certain(kEnd)});
    DecodingOptionsArguments arguments;
    arguments.noSpeechThreshold = std::nullopt;
    const auto window = d.decode(DecodingOptions(arguments), {kStartOfTranscript, kTimeBegin});
    EXPECT_EQ(d.decoder->fedTokens, (std::vector<std::int64_t>{kStartOfTranscript, sampled, kHello}));
    EXPECT_EQ(window.result.tokens.at(1), sampled);
    EXPECT_TRUE(log.containsPrefix(LogLevel::debug, "Skipping prompt tokenIndex: 1, token: " + std::to_string(sampled)));
}

TEST(TextDecoder, CompletionAtTheFirstStepStillEndsWithTheEndToken)
{
    Decoding d({certain(kEnd)});
    const auto window = d.decode(withoutTimestamps());
    EXPECT_EQ(window.result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, kEnd}));
    ASSERT_EQ(window.result.tokenLogProbs.size(), 2u);
    EXPECT_EQ(window.result.tokenLogProbs[1], (std::map<std::int64_t, float>{{kEnd, 0.0f}}));
}

TEST(TextDecoder, LoopStopsAtIndex223WhateverTheSampleLength)
{
    Decoding d({certain(kHello)});
    DecodingOptionsArguments arguments;
    arguments.withoutTimestamps = true;
    arguments.sampleLength = 448;
    arguments.compressionRatioThreshold = std::nullopt;
    const auto window = d.decode(DecodingOptions(arguments));
    EXPECT_EQ(d.decoder->fedPositions.back(), 222);
    EXPECT_EQ(window.result.tokens.size(), 224u);
    EXPECT_EQ(window.result.tokens.back(), kEnd);
}

TEST(TextDecoder, AnUnlikelyFirstTokenStopsTheWindowOnlyAtTheFirstStep)
{
    // Eight equal candidates: the first wins at temperature 0 with log(1/8) = -2.08 < -1.5.
    std::map<std::int64_t, float> spread;
    for (std::int64_t t = 0; t < 8; ++t) {
        spread[t] = 0.0f;
    }
    Decoding first({ScriptedStep{spread}, certain(kEnd)});
    const auto stopped = first.decode(withoutTimestamps());
    EXPECT_EQ(stopped.result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, kEnd}));
    ASSERT_TRUE(stopped.result.fallback);
    EXPECT_TRUE(stopped.result.fallback->needsFallback);
    EXPECT_EQ(stopped.result.fallback->fallbackReason, "firstTokenLogProbThreshold");
    EXPECT_EQ(first.decoder->fedTokens.size(), 1u);

    // The same spread later in the window has no effect.
    Decoding later({certain(kHello), ScriptedStep{spread}, certain(kEnd)});
    const auto kept = later.decode(withoutTimestamps());
    EXPECT_EQ(kept.result.tokens, (std::vector<std::int64_t>{kStartOfTranscript, kHello, 0, kEnd}));
    EXPECT_FALSE(kept.result.fallback.has_value());
}

TEST(TextDecoder, ACallbackAnsweringFalseStopsTheWindowButNotDuringPromptForcing)
{
    {
        Decoding d({certain(kHello)});
        DecodingOptionsArguments arguments;
        arguments.withoutTimestamps = true;
        arguments.compressionRatioThreshold = std::nullopt;
        std::atomic<int> calls = 0;
        const auto window = d.decode(DecodingOptions(arguments), {kStartOfTranscript}, [&](const TranscriptionProgress& progress) {
            ++calls;
            EXPECT_EQ(progress.tokens.front(), kStartOfTranscript);
            return std::optional<bool>(false);
        });
        // The stop takes effect at the first iteration that reads the flag after the task ran.
        EXPECT_LT(window.result.tokens.size(), 224u);
        EXPECT_GE(calls.load(), 1);
    }
    {
        // Answers false only for progress of the forced steps (the prompt's three tokens):
        // the window still runs to its end, many iterations later.
        std::vector<ScriptedStep> steps{certain(kWorld), certain(kWorld)};
        steps.insert(steps.end(), 30, certain(kHello));
        steps.push_back(certain(kEnd));
        Decoding d(steps);
        DecodingOptionsArguments arguments;
        arguments.withoutTimestamps = true;
        arguments.compressionRatioThreshold = std::nullopt;
        const auto window = d.decode(DecodingOptions(arguments), {kStartOfTranscript, kEnglish, kTranscribe},
            [](const TranscriptionProgress& progress) { return std::optional<bool>(progress.tokens.size() != 3); });
        EXPECT_EQ(d.decoder->fedTokens.size(), 33u);
        EXPECT_EQ(window.result.tokens.size(), 3u + 30u + 1u);
    }
}

TEST(TextDecoder, ProgressCarriesTheTokensTextAndAverageLogProbability)
{
    Decoding d({certain(kHello), certain(kWorld), certain(kEnd)});
    std::mutex mutex;
    std::vector<TranscriptionProgress> seen;
    DecodingOptionsArguments arguments;
    arguments.withoutTimestamps = true;
    arguments.skipSpecialTokens = true;
    d.decode(DecodingOptions(arguments), {kStartOfTranscript}, [&](const TranscriptionProgress& progress) {
        std::lock_guard lock(mutex);
        seen.push_back(progress);
        return std::optional<bool>();
    });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].tokens, (std::vector<std::int64_t>{kStartOfTranscript, kHello, kWorld}));
    EXPECT_EQ(seen[1].text, " Hello world");
    EXPECT_EQ(seen[1].windowId, 0);
    EXPECT_FALSE(seen[1].temperature.has_value());
    ASSERT_TRUE(seen[1].avgLogprob);
    EXPECT_NEAR(*seen[1].avgLogprob, 0.0f, 1e-3);
    EXPECT_TRUE(seen[1].compressionRatio.has_value());
}

TEST(TextDecoder, WritesAlignmentWeightsIntoTheRowOfTheNextToken)
{
    Decoding d({certain(kHello), certain(kWorld), certain(kEnd)}, false, true);
    const auto window = d.decode(withoutTimestamps());
    ASSERT_TRUE(window.cache && window.cache->alignmentWeights);
    const auto& weights = *window.cache->alignmentWeights;
    EXPECT_TRUE(weights.sharesStorageWith(d.inputs->alignmentWeights));
    // Row 0 is never written; step k (column k set) lands in row k + 1.
    for (std::size_t c = 0; c < 16; ++c) {
        EXPECT_EQ(weights.value(c), 0) << c;
    }
    EXPECT_EQ(weights.value(16 * 1 + 0), 1);
    EXPECT_EQ(weights.value(16 * 2 + 1), 1);
    EXPECT_EQ(weights.value(16 * 2 + 0), 0);
}

TEST(TextDecoder, UpdateKVCacheCopiesOneColumnPerChannelByStrides)
{
    runtime::MultiArray keys({1, 3, 1, 8}, runtime::MultiArrayDataType::float16, 0);
    runtime::MultiArray values({1, 3, 1, 8}, runtime::MultiArrayDataType::float16, 0);
    runtime::MultiArray keySlice({1, 3, 1, 2}, runtime::MultiArrayDataType::float16, 0);
    runtime::MultiArray valueSlice({1, 3, 1, 2}, runtime::MultiArrayDataType::float16, 0);
    for (std::size_t i = 0; i < 6; ++i) {
        keySlice.setValue(i, static_cast<double>(i + 1));
        valueSlice.setValue(i, -static_cast<double>(i + 1));
    }
    TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, 5);
    for (std::int64_t e = 0; e < 3; ++e) {
        for (std::int64_t j = 0; j < 2; ++j) {
            const auto at = static_cast<std::size_t>(e * 8 + 5 + j);
            EXPECT_EQ(keys.value(at), static_cast<double>(e * 2 + j + 1));
            EXPECT_EQ(values.value(at), -static_cast<double>(e * 2 + j + 1));
        }
        EXPECT_EQ(keys.value(static_cast<std::size_t>(e * 8 + 4)), 0);
    }
}

TEST(TextDecoder, RejectsRequestsItCannotDecode)
{
    struct Case {
        const char* name;
        std::function<void(Decoding&)> arrange;
        std::vector<std::int64_t> prompt;
        DecodingOptionsArguments arguments;
        WhisperError expected;
    };
    DecodingOptionsArguments shortSample;
    shortSample.withoutTimestamps = true;
    shortSample.sampleLength = 2;
    DecodingOptionsArguments nanTimestamp;
    nanTimestamp.maxInitialTimestamp = std::nanf("");
    DecodingOptionsArguments lateTimestamp;
    lateTimestamp.maxInitialTimestamp = 31.0f;
    const Case cases[] = {
        {"empty prompt", [](Decoding&) {}, {}, {}, {WhisperError::Kind::decodingFailed, "The initial prompt is empty"}},
        {"sample length below the prefilled index", [](Decoding& d) {
             d.inputs = d.decoder->prepareDecoderInputs({kStartOfTranscript});
             d.inputs->cacheLength().setValue(0, 3);
         },
            {kStartOfTranscript}, shortSample,
            {WhisperError::Kind::decodingFailed, "Sample length 2 is below the prefilled index 3"}},
        {"missing logits", [](Decoding& d) { d.decoder->omitLogits = true; }, {kStartOfTranscript}, {},
            {WhisperError::Kind::decodingLogitsFailed, "Unable to decode logits"}},
        {"missing value cache", [](Decoding& d) { d.decoder->omitValueCache = true; }, {kStartOfTranscript}, {},
            {WhisperError::Kind::decodingLogitsFailed, "Invalid model output"}},
        {"non-finite maxInitialTimestamp", [](Decoding&) {}, {kStartOfTranscript}, nanTimestamp,
            {WhisperError::Kind::decodingFailed, "Invalid maxInitialTimestamp nan: must be between 0 and 30 seconds"}},
        {"maxInitialTimestamp past the window", [](Decoding&) {}, {kStartOfTranscript}, lateTimestamp,
            {WhisperError::Kind::decodingFailed, "Invalid maxInitialTimestamp 31.000000: must be between 0 and 30 seconds"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding d({certain(kEnd)});
        c.arrange(d);
        try {
            d.decode(DecodingOptions(c.arguments), c.prompt);
            ADD_FAILURE() << "decoded";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error, c.expected);
        }
        // No early-stop flag outlives a failed window.
        EXPECT_FALSE(d.decoder->earlyStopActor->remove("").has_value());
    }

    Decoding noTokenizer({certain(kEnd)});
    noTokenizer.decoder->setTokenizer(nullptr);
    try {
        noTokenizer.decode(withoutTimestamps());
        ADD_FAILURE() << "decoded without a tokenizer";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable"));
    }
}

TEST(TextDecoder, DetectsTheLanguageFromOneStep)
{
    {
        Decoding d({ScriptedStep{{{kGerman, 2.0f}, {kEnglish, 1.0f}, {kHello, 9.0f}}}}, true);
        const auto inputs = d.decoder->prepareDecoderInputs({kStartOfTranscript});
        GreedyTokenSampler sampler(runtime::Float16::fromFloat(0), kEnd, DecodingOptions{});
        const auto result = runAwaitable(d.decoder->detectLanguage(scriptedEncoderOutput(), inputs, sampler, DecodingOptions{}, 0));
        EXPECT_EQ(result.language, "de");
        ASSERT_EQ(result.languageProbs.size(), 1u);
        EXPECT_NEAR(result.languageProbs.at("de"), -0.3133f, 1e-3);
        EXPECT_TRUE(result.tokens.empty());
        EXPECT_EQ(d.decoder->fedTokens, std::vector<std::int64_t>{kStartOfTranscript});
        ASSERT_TRUE(result.timings);
        EXPECT_EQ(result.timings->firstTokenTime, TranscriptionTimings{}.firstTokenTime);
        // The caches are not touched.
        EXPECT_EQ(inputs->kvCacheUpdateMask.value(1), 0);
    }
    {
        // Every language logit at minus infinity still samples a token; an unknown text
        // defaults to en.
        LogCapture log(LogLevel::error);
        Decoding d({ScriptedStep{{{kHello, 1.0f}}}}, true);
        const auto inputs = d.decoder->prepareDecoderInputs({kStartOfTranscript});
        GreedyTokenSampler sampler(runtime::Float16::fromFloat(0), kEnd, DecodingOptions{});
        const auto result = runAwaitable(d.decoder->detectLanguage(scriptedEncoderOutput(), inputs, sampler, DecodingOptions{}, 0));
        EXPECT_EQ(result.language, "en");
        EXPECT_TRUE(log.containsPrefix(LogLevel::error, "Detected language "));
    }
}

} // namespace
} // namespace auralis
