#include "Auralis/Runtime/MelSpectrogramStage.h"

#include "Auralis/Runtime/Kernels.h"
#include "Auralis/Runtime/ModelError.h"
#include "Auralis/Runtime/SafeTensors.h"
#include "Auralis/Runtime/ThreadPool.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace auralis::runtime {

namespace {

// FFTW's planner is not thread-safe; execution of an existing plan is.
std::mutex& plannerMutex()
{
    static std::mutex mutex;
    return mutex;
}

double hzToMel(double hz)
{
    constexpr double fSp = 200.0 / 3.0;
    constexpr double minLogHz = 1000.0;
    constexpr double minLogMel = minLogHz / fSp;
    const double logStep = std::log(6.4) / 27.0;
    return hz < minLogHz ? hz / fSp : minLogMel + std::log(hz / minLogHz) / logStep;
}

double melToHz(double mel)
{
    constexpr double fSp = 200.0 / 3.0;
    constexpr double minLogHz = 1000.0;
    constexpr double minLogMel = minLogHz / fSp;
    const double logStep = std::log(6.4) / 27.0;
    return mel < minLogMel ? fSp * mel : minLogHz * std::exp(logStep * (mel - minLogMel));
}

} // namespace

std::vector<float> melFilterbank(int sampleRate, int nFft, int nMels)
{
    const int bins = nFft / 2 + 1;
    const double maxMel = hzToMel(sampleRate / 2.0);
    std::vector<double> edges(static_cast<std::size_t>(nMels) + 2);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        edges[i] = melToHz(maxMel * static_cast<double>(i) / static_cast<double>(nMels + 1));
    }
    std::vector<float> filters(static_cast<std::size_t>(nMels) * bins);
    for (int m = 0; m < nMels; ++m) {
        const double lower = edges[m];
        const double centre = edges[m + 1];
        const double upper = edges[m + 2];
        const double norm = 2.0 / (upper - lower);
        for (int k = 0; k < bins; ++k) {
            const double f = static_cast<double>(k) * sampleRate / nFft;
            const double rising = (f - lower) / (centre - lower);
            const double falling = (upper - f) / (upper - centre);
            const double weight = std::max(0.0, std::min(rising, falling));
            filters[static_cast<std::size_t>(m) * bins + k] = static_cast<float>(weight * norm);
        }
    }
    return filters;
}

MelSpectrogramStage::MelSpectrogramStage(const MelSpectrogramParameters& parameters, const SafeTensorsFile& weights, ThreadPool& pool)
    : parameters_(parameters)
    , pool_(pool)
    , bins_(static_cast<std::size_t>(parameters.nFft / 2 + 1))
{
    const std::int64_t filterShape[] = { parameters.nMels, static_cast<std::int64_t>(bins_) };
    filters_ = weights.floatTensor("mel_filters", filterShape);

    const auto n = static_cast<std::size_t>(parameters.nFft);
    window_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n)));
    }
    padded_.resize(static_cast<std::size_t>(parameters.windowSamples) + n);
    power_.resize(static_cast<std::size_t>(parameters.frames()) * bins_);

    const auto threads = static_cast<std::size_t>(pool.threadCount());
    std::lock_guard lock(plannerMutex());
    for (std::size_t t = 0; t < threads; ++t) {
        frameBuffers_.push_back(fftwf_alloc_real(n));
        spectrumBuffers_.push_back(fftwf_alloc_complex(bins_));
    }
    plan_ = fftwf_plan_dft_r2c_1d(parameters.nFft, frameBuffers_[0], static_cast<fftwf_complex*>(spectrumBuffers_[0]), FFTW_ESTIMATE);
    if (plan_ == nullptr) {
        throw ModelError(ModelError::Kind::loadFailed, weights.sourceName() + ": cannot plan an FFT of size " + std::to_string(parameters.nFft));
    }
}

MelSpectrogramStage::~MelSpectrogramStage()
{
    std::lock_guard lock(plannerMutex());
    if (plan_ != nullptr) {
        fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
    }
    for (auto* buffer : frameBuffers_) {
        fftwf_free(buffer);
    }
    for (auto* buffer : spectrumBuffers_) {
        fftwf_free(buffer);
    }
}

void MelSpectrogramStage::predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs)
{
    const auto audio = inputs[0].float32Values();
    auto mel = outputs[0].float32Values();
    const auto samples = audio.size();
    const auto n = static_cast<std::size_t>(parameters_.nFft);
    const auto pad = n / 2;
    const auto hop = static_cast<std::size_t>(parameters_.hopLength);
    const auto frames = static_cast<std::size_t>(parameters_.frames());

    // Reflect padding: the edge sample is not repeated. The window is longer than the padding,
    // so the reflected index always lands inside the signal.
    for (std::size_t j = 0; j < padded_.size(); ++j) {
        std::ptrdiff_t index = static_cast<std::ptrdiff_t>(j) - static_cast<std::ptrdiff_t>(pad);
        if (index < 0) {
            index = -index;
        } else if (index >= static_cast<std::ptrdiff_t>(samples)) {
            index = 2 * (static_cast<std::ptrdiff_t>(samples) - 1) - index;
        }
        padded_[j] = audio[static_cast<std::size_t>(index)];
    }

    const auto plan = static_cast<fftwf_plan>(plan_);
    pool_.parallelForParts(frames, 16, [&](std::size_t part, std::size_t begin, std::size_t end) {
        float* frame = frameBuffers_[part];
        auto* spectrum = static_cast<fftwf_complex*>(spectrumBuffers_[part]);
        for (std::size_t t = begin; t < end; ++t) {
            const float* source = padded_.data() + t * hop;
            for (std::size_t i = 0; i < n; ++i) {
                frame[i] = source[i] * window_[i];
            }
            fftwf_execute_dft_r2c(plan, frame, spectrum);
            float* row = power_.data() + t * bins_;
            for (std::size_t k = 0; k < bins_; ++k) {
                row[k] = spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1];
            }
        }
    });

    // mel[m, t] = sum_k filters[m, k] * power[t, k]
    const auto nMels = static_cast<std::size_t>(parameters_.nMels);
    kernels::linear(pool_, nMels, frames, bins_, filters_.data(), bins_, power_.data(), bins_, nullptr, 0.0f, mel.data(), frames);

    float maximum = -INFINITY;
    for (auto& value : mel) {
        value = std::log10(std::max(value, 1e-10f));
        maximum = std::max(maximum, value);
    }
    const float floor = maximum - 8.0f;
    for (auto& value : mel) {
        value = (std::max(value, floor) + 4.0f) / 4.0f;
    }
}

} // namespace auralis::runtime
