// The optimised kernels against naive double-precision formulas written out here.
#include "Auralis/Runtime/Kernels.h"
#include "Auralis/Runtime/ThreadPool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace auralis::runtime {
namespace {

std::vector<float> randomValues(std::size_t count, unsigned seed, float spread = 1.0f)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-spread, spread);
    std::vector<float> values(count);
    for (auto& v : values) {
        v = value(random);
    }
    return values;
}

TEST(Kernels, GeluIsTheErfForm)
{
    EXPECT_NEAR(kernels::gelu(1.0f), 0.841344746f, 1e-6f);
    EXPECT_NEAR(kernels::gelu(-1.0f), -0.158655254f, 1e-6f);
    EXPECT_NEAR(kernels::gelu(0.5f), 0.345731231f, 1e-6f);
    auto values = randomValues(1000, 1, 8.0f);
    auto expected = values;
    kernels::geluInPlace(values.data(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = expected[i];
        const double exact = 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0)));
        ASSERT_NEAR(values[i], exact, 1e-6 * (1.0 + std::fabs(x))) << "index " << i << " x " << x;
    }
}

TEST(Kernels, ExpAndSoftmaxFollowTheFormulas)
{
    auto values = randomValues(2000, 2, 80.0f);
    auto inputs = values;
    kernels::expInPlace(values.data(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double exact = std::exp(static_cast<double>(inputs[i]));
        ASSERT_NEAR(values[i] / exact, 1.0, 1e-6) << "index " << i << " x " << inputs[i];
    }
    auto scores = randomValues(1501, 3, 20.0f);
    scores[7] = -10000.0f;
    auto raw = scores;
    kernels::softmaxInPlace(scores.data(), scores.size());
    double maximum = -1e9;
    for (float s : raw) {
        maximum = std::max(maximum, static_cast<double>(s));
    }
    double sum = 0;
    for (float s : raw) {
        sum += std::exp(s - maximum);
    }
    for (std::size_t i = 0; i < scores.size(); ++i) {
        ASSERT_NEAR(scores[i], std::exp(raw[i] - maximum) / sum, 1e-6) << "index " << i;
    }
    EXPECT_LT(scores[7], 1e-30f);
}

TEST(Kernels, LayerNormUsesTheBiasedVariance)
{
    const std::size_t width = 96;
    const auto input = randomValues(3 * width, 4, 5.0f);
    const auto gamma = randomValues(width, 5);
    const auto beta = randomValues(width, 6);
    std::vector<float> output(3 * width);
    ThreadPool pool(2);
    kernels::layerNorm(pool, 3, width, input.data(), width, gamma.data(), beta.data(), output.data(), width);
    for (std::size_t r = 0; r < 3; ++r) {
        double mean = 0;
        for (std::size_t i = 0; i < width; ++i) {
            mean += input[r * width + i];
        }
        mean /= width;
        double variance = 0;
        for (std::size_t i = 0; i < width; ++i) {
            variance += (input[r * width + i] - mean) * (input[r * width + i] - mean);
        }
        variance /= width;
        for (std::size_t i = 0; i < width; ++i) {
            const double expected = (input[r * width + i] - mean) / std::sqrt(variance + 1e-5) * gamma[i] + beta[i];
            ASSERT_NEAR(output[r * width + i], expected, 1e-5) << "row " << r << " index " << i;
        }
    }
}

// Matrix-vector, column-split and row-split products, with strided rows, accumulation, bias
// and GELU, on pools of one and three threads.
TEST(Kernels, LinearMatchesANaiveProductInEveryPartitioning)
{
    struct Case {
        std::size_t m, n, k;
        float beta;
        kernels::Activation activation;
    };
    const Case cases[] = {
        { 1, 200, 48, 0.0f, kernels::Activation::none },
        { 1, 37, 300, 1.0f, kernels::Activation::gelu },
        { 40, 130, 64, 0.0f, kernels::Activation::gelu },
        { 500, 72, 33, 1.0f, kernels::Activation::none },
    };
    for (const int threads : { 1, 3 }) {
        ThreadPool pool(threads);
        for (const auto& c : cases) {
            SCOPED_TRACE("m " + std::to_string(c.m) + " n " + std::to_string(c.n) + " threads " + std::to_string(threads));
            const std::size_t lda = c.k + 5;
            const std::size_t ldc = c.n + 3;
            const auto a = randomValues(c.m * lda, 7);
            const auto w = randomValues(c.n * c.k, 8);
            const auto bias = randomValues(c.n, 9);
            const auto initial = randomValues(c.m * ldc, 10);
            auto out = initial;
            kernels::linear(pool, c.m, c.n, c.k, a.data(), lda, w.data(), c.k, bias.data(), c.beta, out.data(), ldc, c.activation);
            for (std::size_t i = 0; i < c.m; ++i) {
                for (std::size_t j = 0; j < c.n; ++j) {
                    double sum = c.beta * initial[i * ldc + j] + bias[j];
                    for (std::size_t p = 0; p < c.k; ++p) {
                        sum += static_cast<double>(a[i * lda + p]) * w[j * c.k + p];
                    }
                    if (c.activation == kernels::Activation::gelu) {
                        sum = 0.5 * sum * (1.0 + std::erf(sum / std::sqrt(2.0)));
                    }
                    ASSERT_NEAR(out[i * ldc + j], sum, 1e-4 * (1.0 + std::fabs(sum))) << "row " << i << " column " << j;
                }
                for (std::size_t j = c.n; j < ldc; ++j) {
                    ASSERT_EQ(out[i * ldc + j], initial[i * ldc + j]) << "padding of row " << i << " was written";
                }
            }
        }
    }
}

TEST(ThreadPool, RunsEveryTaskOnceAndRethrowsTheFirstFailure)
{
    ThreadPool pool(3);
    std::vector<int> hits(1000, 0);
    pool.run(hits.size(), [&](std::size_t task) { ++hits[task]; });
    for (std::size_t i = 0; i < hits.size(); ++i) {
        ASSERT_EQ(hits[i], 1) << i;
    }
    std::vector<int> covered(77, 0);
    pool.parallelFor(covered.size(), 8, [&](std::size_t begin, std::size_t end) {
        EXPECT_EQ(begin % 8, 0u);
        for (std::size_t i = begin; i < end; ++i) {
            ++covered[i];
        }
    });
    EXPECT_EQ(std::count(covered.begin(), covered.end(), 1), 77);
    EXPECT_THROW(pool.run(10, [](std::size_t task) {
        if (task == 4) {
            throw std::runtime_error("task failed");
        }
    }),
        std::runtime_error);
    int after = 0;
    pool.run(5, [&](std::size_t) {});
    pool.run(1, [&](std::size_t) { ++after; });
    EXPECT_EQ(after, 1);
}

} // namespace
} // namespace auralis::runtime
