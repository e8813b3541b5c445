#pragma once

#include "Auralis/Core/FeatureExtractor.h"
#include "Auralis/Core/WhisperMLModel.h"
#include "Auralis/Runtime/FeatureProvider.h"

#include <asio/awaitable.hpp>

#include <optional>

namespace auralis {

using AudioEncoderOutputType = runtime::MultiArray;

class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    virtual std::optional<int> embedSize() const = 0;
    virtual asio::awaitable<std::optional<AudioEncoderOutputType>> encodeFeatures(FeatureExtractorOutputType features) = 0;
};

// The encoder's input: "melspectrogram_features", the mel model's output unchanged.
class AudioEncoderInput final : public runtime::FeatureProvider {
public:
    explicit AudioEncoderInput(runtime::MultiArray melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features))
    {
    }

    std::vector<std::string> featureNames() const override { return { "melspectrogram_features" }; }
    std::optional<runtime::FeatureValue> featureValue(std::string_view name) const override
    {
        if (name == "melspectrogram_features") {
            return runtime::FeatureValue(melspectrogram_features);
        }
        return std::nullopt;
    }

    runtime::MultiArray melspectrogram_features;
};

// The encoder's result.
class AudioEncoderOutput {
public:
    explicit AudioEncoderOutput(runtime::DictionaryFeatureProvider provider) : provider_(std::move(provider)) {}

    // The "encoder_output_embeds" array (empty when the result has none).
    runtime::MultiArray encoder_output_embeds() const { return provider_.array("encoder_output_embeds"); }
    const runtime::DictionaryFeatureProvider& provider() const noexcept { return provider_; }

private:
    runtime::DictionaryFeatureProvider provider_;
};

// Runs the audio encoder on one window's mel features. The prediction runs on the executor of
// the awaiting coroutine and blocks it for its duration.
class AudioEncoder final : public AudioEncoding, public WhisperMLModel {
public:
    // Dimension 1 of the output "encoder_output_embeds".
    std::optional<int> embedSize() const override;
    // Dimension 3 of the output "encoder_output_embeds".
    std::optional<int> sequenceLength() const;

    // The encoder embeddings. Throws WhisperError audioProcessingFailed when the features are
    // not a multi-array, modelsUnavailable without a loaded model, the cancellation error when
    // the awaiting operation was cancelled, and runtime::ModelError when the prediction fails.
    asio::awaitable<std::optional<AudioEncoderOutputType>> encodeFeatures(FeatureExtractorOutputType features) override;
};

} // namespace auralis
