#include "Auralis/Runtime/AudioEncoderStage.h"

#include "Auralis/Runtime/Kernels.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/ThreadPool.h"
#include "Auralis/Runtime/WhisperWeights.h"

#include <cblas.h>

#include <cmath>

namespace auralis::runtime {

namespace {

// Query rows per attention task: small enough to spread over many threads, large enough that
// each product is efficient.
constexpr std::size_t kAttentionRowBlock = 192;

// PyTorch's Conv1d weight [out, in, kernel] reordered to [out, kernel, in], so that one output
// row is a dot product with three consecutive time-major input rows.
std::vector<float> kernelMajor(const std::vector<float>& weight, int out, int in)
{
    std::vector<float> reordered(weight.size());
    for (int o = 0; o < out; ++o) {
        for (int i = 0; i < in; ++i) {
            for (int k = 0; k < 3; ++k) {
                reordered[(static_cast<std::size_t>(o) * 3 + k) * in + i] = weight[(static_cast<std::size_t>(o) * in + i) * 3 + k];
            }
        }
    }
    return reordered;
}

} // namespace

AudioEncoderStage::AudioEncoderStage(const AudioEncoderParameters& p, const SafeTensorsFile& file, ThreadPool& pool)
    : parameters_(p)
    , pool_(pool)
{
    using detail::weight;
    const int d = p.dModel;
    conv1Weight_ = kernelMajor(weight(file, "conv1.weight", { d, p.nMels, 3 }), d, p.nMels);
    conv1Bias_ = weight(file, "conv1.bias", { d });
    conv2Weight_ = kernelMajor(weight(file, "conv2.weight", { d, d, 3 }), d, d);
    conv2Bias_ = weight(file, "conv2.bias", { d });
    positions_ = weight(file, "embed_positions.weight", { p.positions, d });
    for (int i = 0; i < p.layers; ++i) {
        const std::string prefix = "layers." + std::to_string(i) + ".";
        Layer layer;
        detail::stackedAttentionProjection(file, prefix + "self_attn.", d, p.heads, layer.qkvWeight, layer.qkvBias);
        layer.outWeight = weight(file, prefix + "self_attn.out_proj.weight", { d, d });
        layer.outBias = weight(file, prefix + "self_attn.out_proj.bias", { d });
        layer.attnNormWeight = weight(file, prefix + "self_attn_layer_norm.weight", { d });
        layer.attnNormBias = weight(file, prefix + "self_attn_layer_norm.bias", { d });
        layer.fc1Weight = weight(file, prefix + "fc1.weight", { p.ffnDim, d });
        layer.fc1Bias = weight(file, prefix + "fc1.bias", { p.ffnDim });
        layer.fc2Weight = weight(file, prefix + "fc2.weight", { d, p.ffnDim });
        layer.fc2Bias = weight(file, prefix + "fc2.bias", { d });
        layer.mlpNormWeight = weight(file, prefix + "final_layer_norm.weight", { d });
        layer.mlpNormBias = weight(file, prefix + "final_layer_norm.bias", { d });
        layers_.push_back(std::move(layer));
    }
    finalNormWeight_ = weight(file, "layer_norm.weight", { d });
    finalNormBias_ = weight(file, "layer_norm.bias", { d });

    const auto positions = static_cast<std::size_t>(p.positions);
    const auto frames = 2 * positions;
    const auto dd = static_cast<std::size_t>(d);
    melPadded_.assign((frames + 2) * static_cast<std::size_t>(p.nMels), 0.0f);
    conv1Padded_.assign((frames + 2) * dd, 0.0f);
    x_.resize(positions * dd);
    normed_.resize(positions * dd);
    qkv_.resize(positions * 3 * dd);
    attended_.resize(positions * dd);
    hidden_.resize(positions * static_cast<std::size_t>(p.ffnDim));
    scores_.resize(static_cast<std::size_t>(pool.threadCount()) * kAttentionRowBlock * positions);
}

void AudioEncoderStage::attention()
{
    const auto positions = static_cast<std::size_t>(parameters_.positions);
    const auto d = static_cast<std::size_t>(parameters_.dModel);
    const auto heads = static_cast<std::size_t>(parameters_.heads);
    const auto headDim = d / heads;
    const auto blocks = (positions + kAttentionRowBlock - 1) / kAttentionRowBlock;
    const auto ld = static_cast<int>(3 * d);
    pool_.parallelForParts(heads * blocks, 1, [&](std::size_t part, std::size_t begin, std::size_t end) {
        float* scores = scores_.data() + part * kAttentionRowBlock * positions;
        for (std::size_t task = begin; task < end; ++task) {
            const std::size_t head = task / blocks;
            const std::size_t row = (task % blocks) * kAttentionRowBlock;
            const std::size_t rows = std::min(kAttentionRowBlock, positions - row);
            const float* q = qkv_.data() + row * 3 * d + head * headDim;
            const float* k = qkv_.data() + d + head * headDim;
            const float* v = qkv_.data() + 2 * d + head * headDim;
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(rows), static_cast<int>(positions),
                static_cast<int>(headDim), 1.0f, q, ld, k, ld, 0.0f, scores, static_cast<int>(positions));
            for (std::size_t r = 0; r < rows; ++r) {
                kernels::softmaxInPlace(scores + r * positions, positions);
            }
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(rows), static_cast<int>(headDim),
                static_cast<int>(positions), 1.0f, scores, static_cast<int>(positions), v, ld, 0.0f,
                attended_.data() + row * d + head * headDim, static_cast<int>(d));
        }
    });
}

void AudioEncoderStage::predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs)
{
    const auto mel = inputs[0].float32Values();
    auto output = outputs[0].float32Values();
    const auto positions = static_cast<std::size_t>(parameters_.positions);
    const auto frames = 2 * positions;
    const auto d = static_cast<std::size_t>(parameters_.dModel);
    const auto nMels = static_cast<std::size_t>(parameters_.nMels);
    const auto ffn = static_cast<std::size_t>(parameters_.ffnDim);
    using kernels::Activation;

    // Time-major mel with one zero frame on each side (the convolutions' padding).
    pool_.parallelFor(frames, 64, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t) {
            for (std::size_t m = 0; m < nMels; ++m) {
                melPadded_[(t + 1) * nMels + m] = mel[m * frames + t];
            }
        }
    });
    // Each convolution is three products, one per kernel tap k, accumulated: output row t
    // reads padded input row stride * t + k, and the tap's weights are columns
    // [k * in, (k + 1) * in) of the kernel-major weight matrix.
    const auto convolution = [&](std::size_t rows, std::size_t in, std::size_t stride, const float* input,
                                 const std::vector<float>& weight, const std::vector<float>& bias, float* output) {
        for (std::size_t k = 0; k < 3; ++k) {
            const bool last = k == 2;
            kernels::linear(pool_, rows, d, in, input + k * in, stride * in, weight.data() + k * in, 3 * in,
                last ? bias.data() : nullptr, k == 0 ? 0.0f : 1.0f, output, d, last ? Activation::gelu : Activation::none);
        }
    };
    convolution(frames, nMels, 1, melPadded_.data(), conv1Weight_, conv1Bias_, conv1Padded_.data() + d);
    convolution(positions, d, 2, conv1Padded_.data(), conv2Weight_, conv2Bias_, x_.data());
    pool_.parallelFor(positions * d, 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            x_[i] += positions_[i];
        }
    });

    for (const auto& layer : layers_) {
        kernels::layerNorm(pool_, positions, d, x_.data(), d, layer.attnNormWeight.data(), layer.attnNormBias.data(), normed_.data(), d);
        kernels::linear(pool_, positions, 3 * d, d, normed_.data(), d, layer.qkvWeight.data(), d, layer.qkvBias.data(), 0.0f, qkv_.data(), 3 * d);
        attention();
        kernels::linear(pool_, positions, d, d, attended_.data(), d, layer.outWeight.data(), d, layer.outBias.data(), 1.0f, x_.data(), d);
        kernels::layerNorm(pool_, positions, d, x_.data(), d, layer.mlpNormWeight.data(), layer.mlpNormBias.data(), normed_.data(), d);
        kernels::linear(pool_, positions, ffn, d, normed_.data(), d, layer.fc1Weight.data(), d, layer.fc1Bias.data(), 0.0f,
            hidden_.data(), ffn, Activation::gelu);
        kernels::linear(pool_, positions, d, ffn, hidden_.data(), ffn, layer.fc2Weight.data(), ffn, layer.fc2Bias.data(), 1.0f, x_.data(), d);
    }
    kernels::layerNorm(pool_, positions, d, x_.data(), d, finalNormWeight_.data(), finalNormBias_.data(), normed_.data(), d);

    // [positions, d] -> [d, positions]
    pool_.parallelFor(d, 8, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            for (std::size_t t = 0; t < positions; ++t) {
                output[c * positions + t] = normed_[t * d + c];
            }
        }
    });
}

} // namespace auralis::runtime
