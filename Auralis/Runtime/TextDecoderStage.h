#pragma once

#include "Auralis/Runtime/Stage.h"
#include "Auralis/Runtime/StageManifest.h"

#include <vector>

namespace auralis::runtime {

class SafeTensorsFile;
class ThreadPool;

// One step of the Whisper text decoder with an explicit self-attention cache.
//
// The token in "input_ids" at position "cache_length" attends over the cache slots that
// "decoder_key_padding_mask" opens (0 open, -10000 closed) and over itself: its own key and
// value take the place of the slot "kv_cache_update_mask" marks (that slot counts as open), or
// join as one more slot when no slot is marked. Cache channel l * dModel + c holds channel c of
// layer l. The step returns the logits, its own keys and values for the caller to store, and,
// when the model has alignment heads, their cross-attention weights averaged over the heads.
//
// Cross-attention keys and values depend only on the encoder output, so they are computed
// when the encoder output differs from the one last seen (compared byte for byte) and reused
// otherwise; outputs are always those of the stateless computation. A step allocates nothing.
class TextDecoderStage final : public Stage {
public:
    TextDecoderStage(const TextDecoderParameters& parameters, const SafeTensorsFile& weights, ThreadPool& pool);

    void predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs) override;

private:
    struct Layer {
        std::vector<float> selfQkvWeight;
        std::vector<float> selfQkvBias;
        std::vector<float> selfOutWeight;
        std::vector<float> selfOutBias;
        std::vector<float> selfNormWeight;
        std::vector<float> selfNormBias;
        std::vector<float> crossQueryWeight;
        std::vector<float> crossQueryBias;
        std::vector<float> crossKeyWeight;
        std::vector<float> crossValueWeight;
        std::vector<float> crossValueBias;
        std::vector<float> crossOutWeight;
        std::vector<float> crossOutBias;
        std::vector<float> crossNormWeight;
        std::vector<float> crossNormBias;
        std::vector<float> fc1Weight;
        std::vector<float> fc1Bias;
        std::vector<float> fc2Weight;
        std::vector<float> fc2Bias;
        std::vector<float> mlpNormWeight;
        std::vector<float> mlpNormBias;
        // Cross-attention keys and values for the last encoder output, [heads, positions, headDim].
        std::vector<float> crossKeys;
        std::vector<float> crossValues;
    };

    void updateCrossAttentionCache(const MultiArray& encoderOutput);
    void selfAttention(std::size_t layer, const MultiArray& keyCache, const MultiArray& valueCache);
    void crossAttention(std::size_t layer);

    TextDecoderParameters parameters_;
    ThreadPool& pool_;
    std::vector<float> tokenEmbedding_;
    std::vector<float> positionEmbedding_;
    std::vector<Layer> layers_;
    std::vector<float> finalNormWeight_;
    std::vector<float> finalNormBias_;
    std::vector<bool> isAlignmentHead_;

    std::vector<std::byte> lastEncoderOutput_;
    bool crossCacheValid_ = false;

    // Scratch, allocated once.
    std::vector<float> encoderTimeMajor_;
    std::vector<float> projection_;
    std::vector<float> x_;
    std::vector<float> normed_;
    std::vector<float> qkv_;
    std::vector<float> attended_;
    std::vector<float> query_;
    std::vector<float> hidden_;
    std::vector<float> logits_;
    std::vector<float> selfScores_;
    std::vector<float> selfRows_;
    std::vector<float> crossScores_;
    std::vector<float> alignment_;
    std::vector<std::size_t> updateSlots_;
    std::vector<float> padding_;
};

} // namespace auralis::runtime
