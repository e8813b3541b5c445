#pragma once

#include "Auralis/Core/Audio/AudioChunker.h"
#include "Auralis/Core/Configurations.h"
#include "Auralis/Core/ModelLoadState.h"
#include "Auralis/Core/ModelVariant.h"
#include "Auralis/Core/TranscribeTask.h"
#include "Auralis/Core/TranscriptionResult.h"
#include "Auralis/Utilities/Progress.h"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace auralis {

// The speech engine: loads the three Whisper stages and the tokenizer from a model folder
// and transcribes audio. Not synchronised: its owner runs one loading, unloading or
// transcription at a time. Every operation runs on the awaiting coroutine's executor and
// blocks it while models load or compute.
class Auralis {
public:
    static constexpr int sampleRate = 16000;
    static constexpr int hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;

    using ModelStateCallback = std::function<void(std::optional<ModelLoadState> oldState, ModelLoadState newState)>;
    using TranscriptionStateCallback = std::function<void(TranscriptionState)>;

    // Builds the engine and, as the configuration asks, prewarms and loads the models.
    // Throws what loading throws: WhisperError (modelsUnavailable, tokenizerUnavailable),
    // runtime::ModelError, TokenizerError.
    static asio::awaitable<std::unique_ptr<Auralis>> create(AuralisConfig config);

    ModelVariant modelVariant = ModelVariant::tiny;
    ModelLoadState modelState() const { return modelState_; }
    // Notifies modelStateCallback with the old and new state.
    void setModelState(ModelLoadState state);
    ModelComputeOptions modelCompute;
    AudioInputConfig audioInputConfig;
    std::shared_ptr<const WhisperTokenizer> tokenizer;
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector;
    TranscriptionTimings currentTimings;
    std::shared_ptr<Progress> progress = std::make_shared<Progress>();
    std::optional<std::filesystem::path> modelFolder;
    std::optional<std::filesystem::path> tokenizerFolder;
    bool useBackgroundDownloadSession = false;
    SegmentDiscoveryCallback segmentDiscoveryCallback;
    ModelStateCallback modelStateCallback;
    TranscriptionStateCallback transcriptionStateCallback;

    // Takes a local model folder; fetching from a repository is not offered here, so asking
    // for a download without a folder throws WhisperError (modelsUnavailable).
    void setupModels(std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase,
        std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
        std::optional<std::string> modelFolder, bool download, std::optional<std::string> endpoint);
    asio::awaitable<void> prewarmModels();
    asio::awaitable<void> loadModels(bool prewarmMode = false);
    asio::awaitable<void> loadTokenizerIfNeeded();
    asio::awaitable<void> unloadModels();
    void clearState();

    // The stage folders of `folder`: "<name>.mlmodelc", or the package's inner
    // "<name>.mlpackage/Data/com.apple.CoreML/model.mlmodel" when only that exists, for
    // MelSpectrogram, AudioEncoder and TextDecoder in that order.
    static std::vector<std::filesystem::path> modelLocations(const std::filesystem::path& folder);
    static ModelVariant detectVariant(std::int64_t logitsDim, std::int64_t encoderDim);

    asio::awaitable<std::vector<std::shared_ptr<TranscriptionResult>>> transcribe(std::vector<float> audioArray,
        std::optional<DecodingOptions> decodeOptions = std::nullopt, TranscriptionCallback callback = {},
        SegmentDiscoveryCallback segmentCallback = {});
    asio::awaitable<std::vector<std::shared_ptr<TranscriptionResult>>> runTranscribeTask(std::vector<float> audioArray,
        std::optional<DecodingOptions> decodeOptions = std::nullopt, TranscriptionCallback callback = {},
        SegmentDiscoveryCallback segmentCallback = {});
    std::unique_ptr<TranscribeTask> setupTranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<Progress> progress,
        std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
        std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
        std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer) const;

    // A file, loaded with audioInputConfig's channel mode.
    asio::awaitable<std::vector<std::shared_ptr<TranscriptionResult>>> transcribe(std::filesystem::path audioPath,
        std::optional<DecodingOptions> decodeOptions = std::nullopt, TranscriptionCallback callback = {});

    // One outcome per array, in input order; unbalanced lists give a single failure.
    asio::awaitable<std::vector<ChunkTranscription>> transcribeWithOptions(std::vector<std::vector<float>> audioArrays,
        std::vector<std::optional<DecodingOptions>> decodeOptionsArray, std::optional<std::vector<std::int64_t>> seekOffsets = std::nullopt,
        TranscriptionCallback callback = {});
    asio::awaitable<std::vector<ChunkTranscription>> transcribeWithResults(std::vector<std::vector<float>> audioArrays,
        std::optional<DecodingOptions> decodeOptions = std::nullopt, TranscriptionCallback callback = {});
    asio::awaitable<std::vector<ChunkTranscription>> transcribeWithResults(std::vector<std::filesystem::path> audioPaths,
        std::optional<DecodingOptions> decodeOptions = std::nullopt, TranscriptionCallback callback = {});

    // The detected language code and the log-probability per language.
    asio::awaitable<std::pair<std::string, std::map<std::string, float>>> detectLanguage(std::filesystem::path audioPath);
    asio::awaitable<std::pair<std::string, std::map<std::string, float>>> detectLangauge(std::vector<float> audioArray);

private:
    Auralis() = default;
    std::int64_t windowLength() const;

    ModelLoadState modelState_ = ModelLoadState::unloaded;
};

} // namespace auralis
