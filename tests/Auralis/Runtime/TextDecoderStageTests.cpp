#include "Auralis/Runtime/Model.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/ModelFolder.h"

#include "tests/Support/ImportedWhisperModel.h"

#include <gtest/gtest.h>

#include <random>

namespace auralis::runtime {
namespace {

using hushnote::testing::ImportedWhisperModel;
using hushnote::testing::referenceSignal;

constexpr std::int64_t kSlots = 224;
constexpr std::int64_t kEmbed = 2 * 64;

// The decoder's seven inputs, laid out as the engine keeps them.
struct DecoderInputs {
    MultiArray inputIds { { 1 }, MultiArrayDataType::int32 };
    MultiArray cacheLength { { 1 }, MultiArrayDataType::int32 };
    MultiArray keyCache { { 1, kEmbed, 1, kSlots }, MultiArrayDataType::float16 };
    MultiArray valueCache { { 1, kEmbed, 1, kSlots }, MultiArrayDataType::float16 };
    MultiArray updateMask { { 1, kSlots }, MultiArrayDataType::int32 };
    MultiArray encoderOutput;
    MultiArray paddingMask { { 1, kSlots }, MultiArrayDataType::float16, -10000 };

    DictionaryFeatureProvider provider() const
    {
        return {
            { "input_ids", inputIds },
            { "cache_length", cacheLength },
            { "key_cache", keyCache },
            { "value_cache", valueCache },
            { "kv_cache_update_mask", updateMask },
            { "encoder_output_embeds", encoderOutput },
            { "decoder_key_padding_mask", paddingMask },
        };
    }
};

class TextDecoderStageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        model_ = new ImportedWhisperModel();
        tokens_ = { 50258, 50259, 50359, 50363 };
        reference_ = new ProbeResult(probeModelFolder(model_->modelFolder(), referenceSignal(), tokens_));
    }
    static void TearDownTestSuite()
    {
        delete reference_;
        delete model_;
    }

    std::shared_ptr<Model> loadDecoder() const
    {
        return Model::load(model_->modelFolder() / "TextDecoder.mlmodelc", ModelConfiguration { ComputeUnits::cpuOnly, 2 });
    }

    static MultiArray randomFloat16(std::vector<std::int64_t> shape, unsigned seed)
    {
        MultiArray array(std::move(shape), MultiArrayDataType::float16);
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> value(-3, 3);
        for (std::size_t i = 0; i < array.count(); ++i) {
            array.setValue(i, value(random));
        }
        return array;
    }

    static std::vector<std::uint16_t> logitBits(const DictionaryFeatureProvider& outputs)
    {
        const auto bits = outputs.array("logits").float16Bits();
        return { bits.begin(), bits.end() };
    }

    static std::vector<std::uint16_t> logitBits(const MultiArray& logits)
    {
        const auto bits = logits.float16Bits();
        return { bits.begin(), bits.end() };
    }

    static inline ImportedWhisperModel* model_ = nullptr;
    static inline ProbeResult* reference_ = nullptr;
    static inline std::vector<std::int32_t> tokens_;
};

// Step 2 computed with the first two steps' cache entries in slots 0 and 1 and garbage in
// every other slot: the closed slots are never read, and the marked slot holds the step's own
// key and value whatever the cache held there.
TEST_F(TextDecoderStageTest, ReadsOnlyOpenSlotsAndTakesItsOwnKeyForTheMarkedSlot)
{
    const auto decoder = loadDecoder();
    DecoderInputs in;
    in.encoderOutput = reference_->encoderOutput;
    in.keyCache = randomFloat16({ 1, kEmbed, 1, kSlots }, 1);
    in.valueCache = randomFloat16({ 1, kEmbed, 1, kSlots }, 2);
    for (int step = 0; step < 2; ++step) {
        DecoderInputs fresh;
        fresh.encoderOutput = reference_->encoderOutput;
        fresh.keyCache = in.keyCache;
        fresh.valueCache = in.valueCache;
        fresh.inputIds.setValue(0, tokens_[step]);
        fresh.cacheLength.setValue(0, step);
        fresh.updateMask.setValue(step, 1);
        for (int open = 0; open <= step; ++open) {
            fresh.paddingMask.setValue(open, 0);
        }
        const auto outputs = decoder->prediction(fresh.provider());
        const auto keys = outputs.array("key_cache_updates");
        const auto values = outputs.array("value_cache_updates");
        for (std::int64_t e = 0; e < kEmbed; ++e) {
            in.keyCache.setValue(e * kSlots + step, keys.value(e));
            in.valueCache.setValue(e * kSlots + step, values.value(e));
        }
    }
    in.inputIds.setValue(0, tokens_[2]);
    in.cacheLength.setValue(0, 2);
    in.updateMask.setValue(2, 1);
    in.paddingMask.setValue(0, 0);
    in.paddingMask.setValue(1, 0);
    // Slot 2 is marked; leaving it closed in the padding mask must not hide the token from
    // itself.
    const auto outputs = decoder->prediction(in.provider());
    EXPECT_EQ(logitBits(outputs), logitBits(reference_->logits[2]));
}

TEST_F(TextDecoderStageTest, AttendsToItselfWhenNoSlotIsMarked)
{
    const auto decoder = loadDecoder();
    DecoderInputs in;
    in.encoderOutput = reference_->encoderOutput;
    in.inputIds.setValue(0, tokens_[0]);
    in.paddingMask.fill(-10000);
    const auto outputs = decoder->prediction(in.provider());
    EXPECT_EQ(logitBits(outputs), logitBits(reference_->logits[0]));
}

// The stage keeps cross-attention keys and values for the last encoder output, but its
// outputs stay those of a stateless model: another encoder output, the first one again, or
// the same array rewritten in place all give what a freshly loaded model gives.
TEST_F(TextDecoderStageTest, CrossAttentionCacheFollowsTheEncoderOutputContent)
{
    const auto decoder = loadDecoder();
    DecoderInputs in;
    in.inputIds.setValue(0, tokens_[0]);
    in.updateMask.setValue(0, 1);
    in.paddingMask.setValue(0, 0);
    const MultiArray first = reference_->encoderOutput;
    MultiArray second = first.clone();
    for (auto& value : second.float32Values()) {
        value = -value * 0.5f + 0.1f;
    }

    in.encoderOutput = first;
    const auto withFirst = logitBits(decoder->prediction(in.provider()));
    in.encoderOutput = second;
    const auto withSecond = logitBits(decoder->prediction(in.provider()));
    EXPECT_NE(withFirst, withSecond);
    in.encoderOutput = first;
    EXPECT_EQ(logitBits(decoder->prediction(in.provider())), withFirst);

    MultiArray rewritten = first.clone();
    in.encoderOutput = rewritten;
    EXPECT_EQ(logitBits(decoder->prediction(in.provider())), withFirst);
    std::copy(second.float32Values().begin(), second.float32Values().end(), rewritten.float32Values().begin());
    EXPECT_EQ(logitBits(decoder->prediction(in.provider())), withSecond);

    const auto fresh = loadDecoder();
    in.encoderOutput = second;
    EXPECT_EQ(logitBits(fresh->prediction(in.provider())), withSecond);
}

TEST_F(TextDecoderStageTest, AverageOfAlignmentHeadsIsADistributionOverEncoderPositions)
{
    for (const auto& weights : reference_->alignmentWeights) {
        ASSERT_EQ(weights.shape(), (std::vector<std::int64_t> { 1, 1500 }));
        double sum = 0;
        for (std::size_t i = 0; i < weights.count(); ++i) {
            EXPECT_GE(weights.value(i), 0.0);
            sum += weights.value(i);
        }
        EXPECT_NEAR(sum, 1.0, 2e-3);
    }
}

TEST_F(TextDecoderStageTest, RejectsInputsOutsideTheModel)
{
    const auto decoder = loadDecoder();
    struct Case {
        const char* name;
        void (*change)(DecoderInputs&);
        const char* message;
    };
    const Case cases[] = {
        { "negative token", [](DecoderInputs& in) { in.inputIds.setValue(0, -1); }, "input_ids holds token -1, outside the vocabulary of 51865" },
        { "token past the vocabulary", [](DecoderInputs& in) { in.inputIds.setValue(0, 51865); }, "input_ids holds token 51865" },
        { "negative position", [](DecoderInputs& in) { in.cacheLength.setValue(0, -1); }, "cache_length is -1, outside 0 to 447" },
        { "position past the table", [](DecoderInputs& in) { in.cacheLength.setValue(0, 448); }, "cache_length is 448" },
        { "cache of another shape", [](DecoderInputs& in) { in.keyCache = MultiArray({ 1, kEmbed, 1, 448 }, MultiArrayDataType::float16); },
            "input \"key_cache\" is [1, 128, 1, 448] float16, expected [1, 128, 1, 224] float16" },
        { "mask of another type", [](DecoderInputs& in) { in.paddingMask = MultiArray({ 1, kSlots }, MultiArrayDataType::float32); },
            "input \"decoder_key_padding_mask\" is [1, 224] float32, expected [1, 224] float16" },
        { "missing encoder output", [](DecoderInputs& in) { in.encoderOutput = MultiArray(); }, "input \"encoder_output_embeds\" is missing" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DecoderInputs in;
        in.encoderOutput = reference_->encoderOutput;
        in.updateMask.setValue(0, 1);
        c.change(in);
        try {
            decoder->prediction(in.provider());
            ADD_FAILURE() << "prediction succeeded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.kind(), ModelError::Kind::predictionFailed);
            EXPECT_NE(error.description().find(c.message), std::string::npos) << error.description();
            EXPECT_NE(error.description().find("TextDecoder.mlmodelc"), std::string::npos) << error.description();
        }
    }
}

// Output storage is handed back to the model once the caller drops it, so a loop that keeps
// one step's outputs while predicting the next cycles through two sets of arrays.
TEST_F(TextDecoderStageTest, ReusesOutputStorageOnceReleased)
{
    const auto decoder = loadDecoder();
    DecoderInputs in;
    in.encoderOutput = reference_->encoderOutput;
    in.updateMask.setValue(0, 1);
    in.paddingMask.setValue(0, 0);
    const void* firstStorage = nullptr;
    {
        const auto outputs = decoder->prediction(in.provider());
        firstStorage = outputs.array("logits").dataPointer();
    }
    auto held = decoder->prediction(in.provider());
    EXPECT_EQ(held.array("logits").dataPointer(), firstStorage);
    const auto next = decoder->prediction(in.provider());
    EXPECT_NE(next.array("logits").dataPointer(), firstStorage);
    EXPECT_EQ(logitBits(next), logitBits(held));
}

} // namespace
} // namespace auralis::runtime
