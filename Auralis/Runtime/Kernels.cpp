#include "Auralis/Runtime/Kernels.h"

#include "Auralis/Runtime/ThreadPool.h"

#include <cblas.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <mutex>

namespace auralis::runtime::kernels {

namespace {

// Vectorisable exp: range reduction by ln 2, degree-6 Taylor polynomial on [-ln2/2, ln2/2]
// (relative error about 2e-7), and the power of two built in the exponent bits.
inline float expApprox(float x)
{
    x = std::min(88.0f, std::max(-87.3365447504f, x));
    const float k = std::floor(x * 1.44269504088896341f + 0.5f);
    const float r = x - k * 0.693359375f + k * 2.12194440e-4f;
    float p = 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const std::int32_t bits = (static_cast<std::int32_t>(k) + 127) << 23;
    return p * std::bit_cast<float>(bits);
}

// GELU through the Abramowitz-Stegun 7.1.26 erf (absolute error below 1.5e-7).
inline float geluApprox(float x)
{
    const float z = x * 0.70710678118654752f;
    const float az = std::fabs(z);
    const float t = 1.0f / (1.0f + 0.3275911f * az);
    float poly = 1.061405429f;
    poly = poly * t - 1.453152027f;
    poly = poly * t + 1.421413741f;
    poly = poly * t - 0.284496736f;
    poly = poly * t + 0.254829592f;
    poly *= t;
    const float erfAbs = 1.0f - poly * expApprox(-az * az);
    const float erfZ = std::copysign(erfAbs, z);
    return 0.5f * x * (1.0f + erfZ);
}

void addBiasAndActivate(float* c, std::size_t ldc, std::size_t rows, std::size_t colBegin, std::size_t colEnd,
    const float* bias, Activation activation)
{
    for (std::size_t r = 0; r < rows; ++r) {
        float* row = c + r * ldc;
        if (bias != nullptr) {
            for (std::size_t j = colBegin; j < colEnd; ++j) {
                row[j] += bias[j];
            }
        }
        if (activation == Activation::gelu) {
            geluInPlace(row + colBegin, colEnd - colBegin);
        }
    }
}

} // namespace

void useSingleThreadedBlas()
{
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void geluInPlace(float* values, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = geluApprox(values[i]);
    }
}

float gelu(float x) { return geluApprox(x); }

__attribute__((target_clones("avx512f", "avx2", "default"))) void expInPlace(float* values, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = expApprox(values[i]);
    }
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void softmaxInPlace(float* values, std::size_t count)
{
    float maximum = -INFINITY;
    for (std::size_t i = 0; i < count; ++i) {
        maximum = std::max(maximum, values[i]);
    }
    float sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = expApprox(values[i] - maximum);
        sum += values[i];
    }
    const float scale = 1.0f / sum;
    for (std::size_t i = 0; i < count; ++i) {
        values[i] *= scale;
    }
}

__attribute__((target_clones("avx512f", "avx2", "default"))) float dot(const float* a, const float* b, std::size_t count)
{
    // Eight partial sums let the compiler vectorise without reassociating a single sum.
    float partial[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int j = 0; j < 8; ++j) {
            partial[j] += a[i + j] * b[i + j];
        }
    }
    float sum = 0;
    for (; i < count; ++i) {
        sum += a[i] * b[i];
    }
    for (float p : partial) {
        sum += p;
    }
    return sum;
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void axpy(float alpha, const float* x, float* y, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        y[i] += alpha * x[i];
    }
}

void layerNormRow(std::size_t width, const float* input, const float* gamma, const float* beta, float* output)
{
    double sum = 0;
    for (std::size_t i = 0; i < width; ++i) {
        sum += input[i];
    }
    const float mean = static_cast<float>(sum / static_cast<double>(width));
    double squares = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const float centred = input[i] - mean;
        squares += static_cast<double>(centred) * centred;
    }
    const float inverse = 1.0f / std::sqrt(static_cast<float>(squares / static_cast<double>(width)) + 1e-5f);
    for (std::size_t i = 0; i < width; ++i) {
        output[i] = (input[i] - mean) * inverse * gamma[i] + beta[i];
    }
}

void layerNorm(ThreadPool& pool, std::size_t rows, std::size_t width, const float* input, std::size_t ldIn,
    const float* gamma, const float* beta, float* output, std::size_t ldOut)
{
    pool.parallelFor(rows, 8, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            layerNormRow(width, input + r * ldIn, gamma, beta, output + r * ldOut);
        }
    });
}

void linear(ThreadPool& pool, std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
    const float* w, std::size_t ldw, const float* bias, float beta, float* c, std::size_t ldc, Activation activation)
{
    const auto threads = static_cast<std::size_t>(pool.threadCount());
    if (m == 1) {
        // A matrix-vector product: memory bound, so each thread streams its own rows of W.
        pool.parallelFor(n, 16, [&](std::size_t begin, std::size_t end) {
            cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(end - begin), static_cast<int>(k), 1.0f,
                w + begin * ldw, static_cast<int>(ldw), a, 1, beta, c + begin, 1);
            addBiasAndActivate(c, ldc, 1, begin, end, bias, activation);
        });
        return;
    }
    if (m >= 32 * threads) {
        pool.parallelFor(m, 16, [&](std::size_t begin, std::size_t end) {
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(end - begin), static_cast<int>(n),
                static_cast<int>(k), 1.0f, a + begin * lda, static_cast<int>(lda), w, static_cast<int>(ldw), beta,
                c + begin * ldc, static_cast<int>(ldc));
            addBiasAndActivate(c + begin * ldc, ldc, end - begin, 0, n, bias, activation);
        });
        return;
    }
    pool.parallelFor(n, 64, [&](std::size_t begin, std::size_t end) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(m), static_cast<int>(end - begin),
            static_cast<int>(k), 1.0f, a, static_cast<int>(lda), w + begin * ldw, static_cast<int>(ldw), beta,
            c + begin, static_cast<int>(ldc));
        addBiasAndActivate(c, ldc, m, begin, end, bias, activation);
    });
}

} // namespace auralis::runtime::kernels
