#pragma once

#include <cstddef>
#include <cstdint>

namespace auralis::runtime {

class ThreadPool;

namespace kernels {

// Makes OpenBLAS run every call on the calling thread. The runtime partitions its products
// over its own pools, and OpenBLAS's own threads would otherwise spin against them.
void useSingleThreadedBlas();

enum class Activation {
    none,
    gelu,
};

// C[M x N] = A[M x K] * W^T (+ beta * C) + bias, then the activation, with W stored
// [N x K] row-major (the PyTorch Linear layout). Rows of A, W and C are lda, ldw and ldc
// floats apart. `bias` may be null. Large M is split over rows, small M over columns.
void linear(ThreadPool& pool, std::size_t m, std::size_t n, std::size_t k, const float* a, std::size_t lda,
    const float* w, std::size_t ldw, const float* bias, float beta, float* c, std::size_t ldc,
    Activation activation = Activation::none);

// Row-wise LayerNorm with eps 1e-5 over `width` values, biased variance.
void layerNorm(ThreadPool& pool, std::size_t rows, std::size_t width, const float* input, std::size_t ldIn,
    const float* gamma, const float* beta, float* output, std::size_t ldOut);
void layerNormRow(std::size_t width, const float* input, const float* gamma, const float* beta, float* output);

// Exact (erf) GELU, in place.
void geluInPlace(float* values, std::size_t count);
float gelu(float x);

// Softmax over `count` values in place; returns nothing, leaves probabilities summing to 1.
void softmaxInPlace(float* values, std::size_t count);

// y[i] = exp(x[i]) for a vector, accurate to a few float ulps.
void expInPlace(float* values, std::size_t count);

float dot(const float* a, const float* b, std::size_t count);
// y += alpha * x
void axpy(float alpha, const float* x, float* y, std::size_t count);

} // namespace kernels
} // namespace auralis::runtime
