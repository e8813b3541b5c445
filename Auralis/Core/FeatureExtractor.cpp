#include "Auralis/Core/FeatureExtractor.h"

#include "Auralis/Utilities/WhisperError.h"

namespace auralis {

std::optional<int> FeatureExtractor::melCount() const { return outputDimension(model().get(), "melspectrogram_features", 1); }

std::optional<int> FeatureExtractor::windowSamples() const { return inputDimension(model().get(), "audio", 0); }

asio::awaitable<std::optional<FeatureExtractorOutputType>> FeatureExtractor::logMelSpectrogram(runtime::MultiArray fromAudio)
{
    if (fromAudio.empty()) {
        throw WhisperError(WhisperError::Kind::audioProcessingFailed, "FeatureExtractor input must be MLMultiArray");
    }
    const auto loaded = model();
    if (!loaded) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    }
    co_await throwIfCancelled();
    const MelSpectrogramOutput output(loaded->prediction(MelSpectrogramInput(std::move(fromAudio))));
    auto features = output.melspectrogram_features();
    if (features.empty()) {
        co_return std::nullopt;
    }
    co_return features;
}

} // namespace auralis
