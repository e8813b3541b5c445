#include "Auralis/Core/AudioEncoder.h"

#include "Auralis/Utilities/WhisperError.h"

namespace auralis {

std::optional<int> AudioEncoder::embedSize() const { return outputDimension(model().get(), "encoder_output_embeds", 1); }

std::optional<int> AudioEncoder::sequenceLength() const { return outputDimension(model().get(), "encoder_output_embeds", 3); }

asio::awaitable<std::optional<AudioEncoderOutputType>> AudioEncoder::encodeFeatures(FeatureExtractorOutputType features)
{
    if (features.empty()) {
        throw WhisperError(WhisperError::Kind::audioProcessingFailed, "AudioEncoder input must be MLMultiArray");
    }
    const auto loaded = model();
    if (!loaded) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    }
    co_await throwIfCancelled();
    const AudioEncoderOutput output(loaded->prediction(AudioEncoderInput(std::move(features))));
    auto embeddings = output.encoder_output_embeds();
    if (embeddings.empty()) {
        co_return std::nullopt;
    }
    co_return embeddings;
}

} // namespace auralis
