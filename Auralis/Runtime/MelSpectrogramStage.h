#pragma once

#include "Auralis/Runtime/Stage.h"
#include "Auralis/Runtime/StageManifest.h"

#include <vector>

namespace auralis::runtime {

class SafeTensorsFile;
class ThreadPool;

// The Whisper log-mel front end: reflect-padded STFT with a periodic Hann window (FFTW),
// power spectrum, the mel filterbank from the stage's weights ("mel_filters",
// [nMels, nFft/2 + 1]), log10 with a floor of 1e-10, clamped to 8 decades below the window's
// maximum, then (x + 4) / 4. The STFT's last frame is dropped.
class MelSpectrogramStage final : public Stage {
public:
    MelSpectrogramStage(const MelSpectrogramParameters& parameters, const SafeTensorsFile& weights, ThreadPool& pool);
    ~MelSpectrogramStage() override;

    void predict(std::span<const MultiArray> inputs, std::span<MultiArray> outputs) override;

private:
    MelSpectrogramParameters parameters_;
    ThreadPool& pool_;
    std::size_t bins_;
    std::vector<float> filters_;
    std::vector<float> window_;
    std::vector<float> padded_;
    std::vector<float> power_;
    // One FFT input and output buffer per pool thread (FFTW-aligned).
    std::vector<float*> frameBuffers_;
    std::vector<void*> spectrumBuffers_;
    void* plan_ = nullptr;
};

// The Slaney-normalised mel filterbank on the Slaney mel scale from 0 Hz to sampleRate / 2,
// computed in double precision: [nMels, nFft/2 + 1], row-major.
std::vector<float> melFilterbank(int sampleRate, int nFft, int nMels);

} // namespace auralis::runtime
