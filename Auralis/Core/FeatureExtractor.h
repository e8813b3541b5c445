#pragma once

#include "Auralis/Core/WhisperMLModel.h"
#include "Auralis/Runtime/FeatureProvider.h"
#include "Auralis/Runtime/MultiArray.h"

#include <asio/awaitable.hpp>

#include <optional>

namespace auralis {

// The values passed between the stages. Every stage takes and returns a multi-array; an empty
// array stands for a value of another kind.
using FeatureExtractorOutputType = runtime::MultiArray;

class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;
    virtual std::optional<int> melCount() const = 0;
    virtual std::optional<int> windowSamples() const = 0;
    virtual asio::awaitable<std::optional<FeatureExtractorOutputType>> logMelSpectrogram(runtime::MultiArray fromAudio) = 0;
};

// The mel model's input: "audio".
class MelSpectrogramInput final : public runtime::FeatureProvider {
public:
    explicit MelSpectrogramInput(runtime::MultiArray audio) : audio(std::move(audio)) {}

    std::vector<std::string> featureNames() const override { return { "audio" }; }
    std::optional<runtime::FeatureValue> featureValue(std::string_view name) const override
    {
        if (name == "audio") {
            return runtime::FeatureValue(audio);
        }
        return std::nullopt;
    }

    runtime::MultiArray audio;
};

// The mel model's result.
class MelSpectrogramOutput {
public:
    explicit MelSpectrogramOutput(runtime::DictionaryFeatureProvider provider) : provider_(std::move(provider)) {}

    // The "melspectrogram_features" array (empty when the result has none).
    runtime::MultiArray melspectrogram_features() const { return provider_.array("melspectrogram_features"); }
    const runtime::DictionaryFeatureProvider& provider() const noexcept { return provider_; }

private:
    runtime::DictionaryFeatureProvider provider_;
};

// Runs the mel-spectrogram model on one window of 16 kHz samples. The prediction runs on the
// executor of the awaiting coroutine and blocks it for its duration.
class FeatureExtractor final : public FeatureExtracting, public WhisperMLModel {
public:
    // Dimension 1 of the output "melspectrogram_features".
    std::optional<int> melCount() const override;
    // Dimension 0 of the input "audio".
    std::optional<int> windowSamples() const override;

    // The window's log-mel features. Throws WhisperError audioProcessingFailed when the window
    // is not a multi-array, modelsUnavailable without a loaded model, the cancellation error
    // when the awaiting operation was cancelled, and runtime::ModelError when the prediction
    // fails (a window of another shape, for instance).
    asio::awaitable<std::optional<FeatureExtractorOutputType>> logMelSpectrogram(runtime::MultiArray fromAudio) override;
};

} // namespace auralis
