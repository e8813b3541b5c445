#include "Auralis/Runtime/TextDecoderStage.h"

#include "Auralis/Runtime/Float16.h"
#include "Auralis/Runtime/Kernels.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/ThreadPool.h"
#include "Auralis/Runtime/WhisperWeights.h"

#include <cblas.h>

#include <cmath>
#include <cstring>

namespace auralis::runtime {

namespace {

enum Input : std::size_t {
    inputIds,
    cacheLength,
    keyCache,
    valueCache,
    kvCacheUpdateMask,
    encoderOutputEmbeds,
    decoderKeyPaddingMask,
};

enum Output : std::size_t {
    logits,
    keyCacheUpdates,
    valueCacheUpdates,
    alignmentHeadsWeights,
};

[[noreturn]] void rejected(const std::string& message) { throw ModelError(ModelError::Kind::predictionFailed, message); }

} // namespace

TextDecoderStage::TextDecoderStage(const TextDecoderParameters& p, const SafeTensorsFile& file, ThreadPool& pool)
    : parameters_(p)
    , pool_(pool)
{
    using detail::weight;
    const int d = p.dModel;
    tokenEmbedding_ = weight(file, "embed_tokens.weight", { p.vocabSize, d });
    positionEmbedding_ = weight(file, "embed_positions.weight", { p.maxTargetPositions, d });
    const float scale = 1.0f / std::sqrt(static_cast<float>(d / p.heads));
    for (int i = 0; i < p.layers; ++i) {
        const std::string prefix = "layers." + std::to_string(i) + ".";
        Layer layer;
        detail::stackedAttentionProjection(file, prefix + "self_attn.", d, p.heads, layer.selfQkvWeight, layer.selfQkvBias);
        layer.selfOutWeight = weight(file, prefix + "self_attn.out_proj.weight", { d, d });
        layer.selfOutBias = weight(file, prefix + "self_attn.out_proj.bias", { d });
        layer.selfNormWeight = weight(file, prefix + "self_attn_layer_norm.weight", { d });
        layer.selfNormBias = weight(file, prefix + "self_attn_layer_norm.bias", { d });
        layer.crossQueryWeight = weight(file, prefix + "encoder_attn.q_proj.weight", { d, d });
        layer.crossQueryBias = weight(file, prefix + "encoder_attn.q_proj.bias", { d });
        for (auto& w : layer.crossQueryWeight) {
            w *= scale;
        }
        for (auto& b : layer.crossQueryBias) {
            b *= scale;
        }
        layer.crossKeyWeight = weight(file, prefix + "encoder_attn.k_proj.weight", { d, d });
        layer.crossValueWeight = weight(file, prefix + "encoder_attn.v_proj.weight", { d, d });
        layer.crossValueBias = weight(file, prefix + "encoder_attn.v_proj.bias", { d });
        layer.crossOutWeight = weight(file, prefix + "encoder_attn.out_proj.weight", { d, d });
        layer.crossOutBias = weight(file, prefix + "encoder_attn.out_proj.bias", { d });
        layer.crossNormWeight = weight(file, prefix + "encoder_attn_layer_norm.weight", { d });
        layer.crossNormBias = weight(file, prefix + "encoder_attn_layer_norm.bias", { d });
        layer.fc1Weight = weight(file, prefix + "fc1.weight", { p.ffnDim, d });
        layer.fc1Bias = weight(file, prefix + "fc1.bias", { p.ffnDim });
        layer.fc2Weight = weight(file, prefix + "fc2.weight", { d, p.ffnDim });
        layer.fc2Bias = weight(file, prefix + "fc2.bias", { d });
        layer.mlpNormWeight = weight(file, prefix + "final_layer_norm.weight", { d });
        layer.mlpNormBias = weight(file, prefix + "final_layer_norm.bias", { d });
        layer.crossKeys.resize(static_cast<std::size_t>(p.encoderPositions) * d);
        layer.crossValues.resize(static_cast<std::size_t>(p.encoderPositions) * d);
        layers_.push_back(std::move(layer));
    }
    finalNormWeight_ = weight(file, "layer_norm.weight", { d });
    finalNormBias_ = weight(file, "layer_norm.bias", { d });
    isAlignmentHead_.assign(static_cast<std::size_t>(p.layers) * p.heads, false);
    for (const auto& [layer, head] : p.alignmentHeads) {
        isAlignmentHead_[static_cast<std::size_t>(layer) * p.heads + head] = true;
    }

    const auto dd = static_cast<std::size_t>(d);
    const auto positions = static_cast<std::size_t>(p.encoderPositions);
    const auto slots = static_cast<std::size_t>(p.kvCacheLength);
    const auto heads = static_cast<std::size_t>(p.heads);
    lastEncoderOutput_.resize(positions * dd * sizeof(float));
    encoderTimeMajor_.resize(positions * dd);
    projection_.resize(positions * dd);
    x_.resize(dd);
    normed_.resize(dd);
    qkv_.resize(3 * dd);
    attended_.resize(dd);
    query_.resize(dd);
    hidden_.resize(static_cast<std::size_t>(p.ffnDim));
    logits_.resize(static_cast<std::size_t>(p.vocabSize));
    // One extra slot per head for a token whose update slot is not marked.
    selfScores_.resize(heads * (slots + 1));
    selfRows_.resize(heads * (slots + 1));
    crossScores_.resize(heads * positions);
    alignment_.resize(positions);
    updateSlots_.reserve(slots);
    padding_.resize(slots);
}

void TextDecoderStage::updateCrossAttentionCache(const MultiArray& encoderOutput)
{
    const auto bytes = encoderOutput.bytes();
    if (crossCacheValid_ && std::memcmp(bytes.data(), lastEncoderOutput_.data(), bytes.size()) == 0) {
        return;
    }
    crossCacheValid_ = false;
    std::memcpy(lastEncoderOutput_.data(), bytes.data(), bytes.size());
    const auto d = static_cast<std::size_t>(parameters_.dModel);
    const auto positions = static_cast<std::size_t>(parameters_.encoderPositions);
    const auto heads = static_cast<std::size_t>(parameters_.heads);
    const auto headDim = d / heads;
    const auto encoder = encoderOutput.float32Values();
    // [d, positions] -> [positions, d]
    pool_.parallelFor(positions, 32, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            for (std::size_t c = 0; c < d; ++c) {
                encoderTimeMajor_[t * d + c] = encoder[c * positions + t];
            }
        }
    });
    const auto toHeadMajor = [&](std::vector<float>& target) {
        pool_.parallelFor(heads, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t h = begin; h < end; ++h) {
                for (std::size_t t = 0; t < positions; ++t) {
                    std::memcpy(target.data() + (h * positions + t) * headDim, projection_.data() + t * d + h * headDim,
                        headDim * sizeof(float));
                }
            }
        });
    };
    for (auto& layer : layers_) {
        kernels::linear(pool_, positions, d, d, encoderTimeMajor_.data(), d, layer.crossKeyWeight.data(), d, nullptr, 0.0f,
            projection_.data(), d);
        toHeadMajor(layer.crossKeys);
        kernels::linear(pool_, positions, d, d, encoderTimeMajor_.data(), d, layer.crossValueWeight.data(), d,
            layer.crossValueBias.data(), 0.0f, projection_.data(), d);
        toHeadMajor(layer.crossValues);
    }
    crossCacheValid_ = true;
}

void TextDecoderStage::selfAttention(std::size_t layer, const MultiArray& keyCacheArray, const MultiArray& valueCacheArray)
{
    const auto d = static_cast<std::size_t>(parameters_.dModel);
    const auto heads = static_cast<std::size_t>(parameters_.heads);
    const auto headDim = d / heads;
    const auto slots = static_cast<std::size_t>(parameters_.kvCacheLength);
    const bool extraSlot = updateSlots_.empty();
    const std::size_t keys = slots + (extraSlot ? 1 : 0);
    const std::uint16_t* keyCache = keyCacheArray.float16Bits().data();
    const std::uint16_t* valueCache = valueCacheArray.float16Bits().data();
    const float* query = qkv_.data();
    const float* ownKey = qkv_.data() + d;
    const float* ownValue = qkv_.data() + 2 * d;

    pool_.parallelFor(heads, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t h = begin; h < end; ++h) {
            float* scores = selfScores_.data() + h * (slots + 1);
            float* row = selfRows_.data() + h * (slots + 1);
            std::fill(scores, scores + keys, 0.0f);
            for (std::size_t c = 0; c < headDim; ++c) {
                const std::size_t channel = layer * d + h * headDim + c;
                convertHalfToFloat(keyCache + channel * slots, row, slots);
                for (const auto slot : updateSlots_) {
                    row[slot] = ownKey[h * headDim + c];
                }
                if (extraSlot) {
                    row[slots] = ownKey[h * headDim + c];
                }
                kernels::axpy(query[h * headDim + c], row, scores, keys);
            }
            for (std::size_t s = 0; s < slots; ++s) {
                scores[s] += padding_[s];
            }
            kernels::softmaxInPlace(scores, keys);
            for (std::size_t c = 0; c < headDim; ++c) {
                const std::size_t channel = layer * d + h * headDim + c;
                convertHalfToFloat(valueCache + channel * slots, row, slots);
                for (const auto slot : updateSlots_) {
                    row[slot] = ownValue[h * headDim + c];
                }
                if (extraSlot) {
                    row[slots] = ownValue[h * headDim + c];
                }
                attended_[h * headDim + c] = kernels::dot(scores, row, keys);
            }
        }
    });
}

void TextDecoderStage::crossAttention(std::size_t layerIndex)
{
    const auto& layer = layers_[layerIndex];
    const auto d = static_cast<std::size_t>(parameters_.dModel);
    const auto heads = static_cast<std::size_t>(parameters_.heads);
    const auto headDim = d / heads;
    const auto positions = static_cast<std::size_t>(parameters_.encoderPositions);
    pool_.parallelFor(heads, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t h = begin; h < end; ++h) {
            float* scores = crossScores_.data() + h * positions;
            const float* keys = layer.crossKeys.data() + h * positions * headDim;
            const float* values = layer.crossValues.data() + h * positions * headDim;
            const float* q = query_.data() + h * headDim;
            const auto rows = static_cast<int>(positions);
            const auto columns = static_cast<int>(headDim);
            cblas_sgemv(CblasRowMajor, CblasNoTrans, rows, columns, 1.0f, keys, columns, q, 1, 0.0f, scores, 1);
            kernels::softmaxInPlace(scores, positions);
            cblas_sgemv(CblasRowMajor, CblasTrans, rows, columns, 1.0f, values, columns, scores, 1, 0.0f,
                attended_.data() + h * headDim, 1);
        }
    });
    for (std::size_t h = 0; h < heads; ++h) {
        if (isAlignmentHead_[layerIndex * heads + h]) {
            kernels::axpy(1.0f, crossScores_.data() + h * positions, alignment_.data(), positions);
        }
    }
}

void TextDecoderStage::predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs)
{
    const auto d = static_cast<std::size_t>(parameters_.dModel);
    const auto slots = static_cast<std::size_t>(parameters_.kvCacheLength);
    const auto ffn = static_cast<std::size_t>(parameters_.ffnDim);
    const auto vocab = static_cast<std::size_t>(parameters_.vocabSize);

    const std::int32_t token = inputs[inputIds].int32Values()[0];
    const std::int32_t position = inputs[cacheLength].int32Values()[0];
    if (token < 0 || static_cast<std::size_t>(token) >= vocab) {
        rejected("input_ids holds token " + std::to_string(token) + ", outside the vocabulary of " + std::to_string(vocab));
    }
    if (position < 0 || position >= parameters_.maxTargetPositions) {
        rejected("cache_length is " + std::to_string(position) + ", outside 0 to " + std::to_string(parameters_.maxTargetPositions - 1));
    }
    updateSlots_.clear();
    const auto updateMask = inputs[kvCacheUpdateMask].int32Values();
    for (std::size_t s = 0; s < slots; ++s) {
        if (updateMask[s] != 0) {
            updateSlots_.push_back(s);
        }
    }
    convertHalfToFloat(inputs[decoderKeyPaddingMask].float16Bits().data(), padding_.data(), slots);
    for (const auto slot : updateSlots_) {
        padding_[slot] = 0.0f;
    }
    updateCrossAttentionCache(inputs[encoderOutputEmbeds]);

    const float* embedding = tokenEmbedding_.data() + static_cast<std::size_t>(token) * d;
    const float* positionRow = positionEmbedding_.data() + static_cast<std::size_t>(position) * d;
    for (std::size_t c = 0; c < d; ++c) {
        x_[c] = embedding[c] + positionRow[c];
    }
    std::fill(alignment_.begin(), alignment_.end(), 0.0f);
    auto keyUpdates = outputs[keyCacheUpdates].float16Bits();
    auto valueUpdates = outputs[valueCacheUpdates].float16Bits();

    for (std::size_t l = 0; l < layers_.size(); ++l) {
        const auto& layer = layers_[l];
        kernels::layerNormRow(d, x_.data(), layer.selfNormWeight.data(), layer.selfNormBias.data(), normed_.data());
        kernels::linear(pool_, 1, 3 * d, d, normed_.data(), d, layer.selfQkvWeight.data(), d, layer.selfQkvBias.data(), 0.0f,
            qkv_.data(), 3 * d);
        convertFloatToHalf(qkv_.data() + d, keyUpdates.data() + l * d, d);
        convertFloatToHalf(qkv_.data() + 2 * d, valueUpdates.data() + l * d, d);
        selfAttention(l, inputs[keyCache], inputs[valueCache]);
        kernels::linear(pool_, 1, d, d, attended_.data(), d, layer.selfOutWeight.data(), d, layer.selfOutBias.data(), 1.0f,
            x_.data(), d);

        kernels::layerNormRow(d, x_.data(), layer.crossNormWeight.data(), layer.crossNormBias.data(), normed_.data());
        kernels::linear(pool_, 1, d, d, normed_.data(), d, layer.crossQueryWeight.data(), d, layer.crossQueryBias.data(), 0.0f,
            query_.data(), d);
        crossAttention(l);
        kernels::linear(pool_, 1, d, d, attended_.data(), d, layer.crossOutWeight.data(), d, layer.crossOutBias.data(), 1.0f,
            x_.data(), d);

        kernels::layerNormRow(d, x_.data(), layer.mlpNormWeight.data(), layer.mlpNormBias.data(), normed_.data());
        kernels::linear(pool_, 1, ffn, d, normed_.data(), d, layer.fc1Weight.data(), d, layer.fc1Bias.data(), 0.0f,
            hidden_.data(), ffn, kernels::Activation::gelu);
        kernels::linear(pool_, 1, d, ffn, hidden_.data(), ffn, layer.fc2Weight.data(), ffn, layer.fc2Bias.data(), 1.0f,
            x_.data(), d);
    }
    kernels::layerNormRow(d, x_.data(), finalNormWeight_.data(), finalNormBias_.data(), normed_.data());
    kernels::linear(pool_, 1, vocab, d, normed_.data(), d, tokenEmbedding_.data(), d, nullptr, 0.0f, logits_.data(), vocab);
    convertFloatToHalf(logits_.data(), outputs[logits].float16Bits().data(), vocab);

    if (outputs.size() > alignmentHeadsWeights) {
        const float share = 1.0f / static_cast<float>(parameters_.alignmentHeads.size());
        for (auto& weight : alignment_) {
            weight *= share;
        }
        convertFloatToHalf(alignment_.data(), outputs[alignmentHeadsWeights].float16Bits().data(), alignment_.size());
    }
}

} // namespace auralis::runtime
