#include "Auralis/Core/Auralis.h"

#include "Auralis/Core/Audio/EnergyVAD.h"
#include "Auralis/Core/Constants.h"
#include "Auralis/Core/Text/TokenSampler.h"
#include "Auralis/Core/Text/WhisperTokenizerWrapper.h"
#include "Auralis/Core/WhisperMLModel.h"
#include "Auralis/Utilities/WhisperError.h"

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace auralis {

namespace fs = std::filesystem;

namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string seconds2(double value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

bool isCancellation(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const asio::system_error& e) {
        return e.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

} // namespace

asio::awaitable<std::unique_ptr<Auralis>> Auralis::create(AuralisConfig config)
{
    std::unique_ptr<Auralis> engine(new Auralis());
    engine->modelCompute = config.computeOptions.value_or(ModelComputeOptions{});
    engine->audioInputConfig = config.audioInputConfig.value_or(AudioInputConfig{});
    engine->audioProcessor = config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>();
    engine->featureExtractor = config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>();
    engine->audioEncoder = config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>();
    engine->textDecoder = config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>();
    if (config.logitsFilters) {
        engine->textDecoder->setLogitsFilters(*config.logitsFilters);
    }
    engine->segmentSeeker = config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>();
    engine->voiceActivityDetector = config.voiceActivityDetector;
    engine->tokenizerFolder = config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase;
    engine->useBackgroundDownloadSession = config.useBackgroundDownloadSession;
    engine->currentTimings = TranscriptionTimings{};
    Logging::setLevel(config.verbose ? config.logLevel : LogLevel::none);

    engine->setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder,
        config.download, config.modelEndpoint);
    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        co_await engine->prewarmModels();
    }
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        co_await engine->loadModels(false);
    }
    co_return engine;
}

void Auralis::setModelState(ModelLoadState state)
{
    const auto old = modelState_;
    modelState_ = state;
    if (modelStateCallback) {
        modelStateCallback(old, state);
    }
}

void Auralis::setupModels(std::optional<std::string>, std::optional<fs::path>, std::optional<std::string>,
    std::optional<std::string>, std::optional<std::string> folder, bool download, std::optional<std::string>)
{
    if (folder) {
        modelFolder = fs::path(*folder);
        return;
    }
    if (download) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable,
            "Model download is not available; give the path of a local model folder");
    }
}

asio::awaitable<void> Auralis::prewarmModels()
{
    co_await loadModels(true);
}

std::vector<fs::path> Auralis::modelLocations(const fs::path& folder)
{
    std::vector<fs::path> locations;
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
        const auto compiled = folder / (std::string(name) + ".mlmodelc");
        const auto package = folder / (std::string(name) + ".mlpackage") / "Data" / "com.apple.CoreML" / "model.mlmodel";
        std::error_code error;
        locations.push_back(!fs::exists(compiled, error) && fs::exists(package, error) ? package : compiled);
    }
    return locations;
}

asio::awaitable<void> Auralis::loadModels(bool prewarmMode)
{
    setModelState(prewarmMode ? ModelLoadState::prewarming : ModelLoadState::loading);
    const auto start = SteadyClock::now();
    if (!modelFolder) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable, "Model folder is not set.");
    }
    Logging::debug("Loading models from " + modelFolder->string() + " with prewarmMode: " + (prewarmMode ? "true" : "false"));
    const auto locations = modelLocations(*modelFolder);
    for (const auto& location : locations) {
        std::error_code error;
        if (!fs::exists(location, error)) {
            throw WhisperError(WhisperError::Kind::modelsUnavailable, "Model file not found at " + location.string());
        }
    }
    const auto& melLocation = locations[0];
    const auto& encoderLocation = locations[1];
    const auto& decoderLocation = locations[2];

    if (auto* mel = dynamic_cast<WhisperMLModel*>(featureExtractor.get())) {
        Logging::debug("Loading feature extractor");
        co_await mel->loadModel(melLocation, modelCompute.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }
    if (auto* decoder = dynamic_cast<WhisperMLModel*>(textDecoder.get())) {
        Logging::debug("Loading text decoder");
        const auto decoderStart = SteadyClock::now();
        co_await decoder->loadModel(decoderLocation, modelCompute.textDecoderCompute, prewarmMode);
        const double seconds = secondsSince(decoderStart);
        (prewarmMode ? currentTimings.decoderSpecializationTime : currentTimings.decoderLoadTime) = seconds;
        Logging::debug("Loaded text decoder in " + seconds2(seconds) + "s");
    }
    if (auto* encoder = dynamic_cast<WhisperMLModel*>(audioEncoder.get())) {
        Logging::debug("Loading audio encoder");
        const auto encoderStart = SteadyClock::now();
        co_await encoder->loadModel(encoderLocation, modelCompute.audioEncoderCompute, prewarmMode);
        const double seconds = secondsSince(encoderStart);
        (prewarmMode ? currentTimings.encoderSpecializationTime : currentTimings.encoderLoadTime) = seconds;
        Logging::debug("Loaded audio encoder in " + seconds2(seconds) + "s");
    }
    if (prewarmMode) {
        setModelState(ModelLoadState::prewarmed);
        currentTimings.prewarmLoadTime = secondsSince(start);
        co_return;
    }
    co_await loadTokenizerIfNeeded();
    setModelState(ModelLoadState::loaded);
    currentTimings.modelLoading = secondsSince(start) + currentTimings.prewarmLoadTime;
    Logging::info("Loaded models for whisper size: " + std::string(toString(modelVariant)) + " in "
        + seconds2(currentTimings.modelLoading) + "s");
}

ModelVariant Auralis::detectVariant(std::int64_t logitsDim, std::int64_t encoderDim)
{
    std::optional<std::int64_t> k;
    if (encoderDim >= 384 && (encoderDim - 384) % 128 == 0) {
        k = (encoderDim - 384) / 128;
    }
    switch (logitsDim) {
    case 51864:
        switch (k.value_or(-1)) {
        case 0:
            return ModelVariant::tinyEn;
        case 3:
            return ModelVariant::smallEn;
        case 5:
            return ModelVariant::mediumEn;
        default:
            return ModelVariant::baseEn;
        }
    case 51865:
        switch (k.value_or(-1)) {
        case 0:
            return ModelVariant::tiny;
        case 3:
            return ModelVariant::small;
        case 5:
            return ModelVariant::medium;
        case 7:
            return ModelVariant::largev2;
        default:
            return ModelVariant::base;
        }
    case 51866:
        return ModelVariant::largev3;
    default:
        Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) + ", defaulting to base variant");
        return ModelVariant::base;
    }
}

asio::awaitable<void> Auralis::loadTokenizerIfNeeded()
{
    if (tokenizer) {
        Logging::debug("Tokenizer already exists on Auralis, skipping load");
        co_return;
    }
    const auto logitsDim = textDecoder->logitsSize();
    const auto encoderDim = audioEncoder->embedSize();
    if (!logitsDim || !encoderDim) {
        throw WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    }
    textDecoder->setIsModelMultilingual(*logitsDim != 51864);
    modelVariant = detectVariant(*logitsDim, *encoderDim);
    Logging::debug("Loading tokenizer for " + std::string(toString(modelVariant)));
    const auto start = SteadyClock::now();
    std::vector<fs::path> searchPaths;
    if (modelFolder) {
        searchPaths.push_back(*modelFolder);
        searchPaths.push_back(ModelHubClient::localRepoLocation(tokenizerNameForVariant(modelVariant), *modelFolder));
    }
    std::shared_ptr<const WhisperTokenizer> loaded =
        loadTokenizer(modelVariant, tokenizerFolder, searchPaths, useBackgroundDownloadSession);
    currentTimings.tokenizerLoadTime = secondsSince(start);
    tokenizer = loaded;
    textDecoder->setTokenizer(loaded);
    Logging::debug("Loaded tokenizer in " + seconds2(currentTimings.tokenizerLoadTime) + "s");
}

asio::awaitable<void> Auralis::unloadModels()
{
    setModelState(ModelLoadState::unloading);
    for (auto* model : {dynamic_cast<WhisperMLModel*>(featureExtractor.get()), dynamic_cast<WhisperMLModel*>(audioEncoder.get()),
             dynamic_cast<WhisperMLModel*>(textDecoder.get())}) {
        if (model != nullptr) {
            model->unloadModel();
        }
    }
    setModelState(ModelLoadState::unloaded);
    Logging::info("Unloaded all models");
    co_return;
}

void Auralis::clearState()
{
    audioProcessor->stopRecording();
    currentTimings = TranscriptionTimings{};
}

std::int64_t Auralis::windowLength() const
{
    return featureExtractor->windowSamples().value_or(static_cast<int>(Constants::defaultWindowSamples));
}

std::unique_ptr<TranscribeTask> Auralis::setupTranscribeTask(TranscriptionTimings timings, std::shared_ptr<Progress> taskProgress,
    std::shared_ptr<AudioProcessing> processor, std::shared_ptr<AudioEncoding> encoder,
    std::shared_ptr<FeatureExtracting> extractor, std::shared_ptr<SegmentSeeking> seeker,
    std::shared_ptr<TextDecoding> decoder, std::shared_ptr<const WhisperTokenizer> taskTokenizer) const
{
    return std::make_unique<TranscribeTask>(timings, std::move(taskProgress), std::move(processor), std::move(encoder),
        std::move(extractor), std::move(seeker), std::move(decoder), std::move(taskTokenizer));
}

asio::awaitable<std::vector<std::shared_ptr<TranscriptionResult>>> Auralis::runTranscribeTask(std::vector<float> audioArray,
    std::optional<DecodingOptions> decodeOptions, TranscriptionCallback callback, SegmentDiscoveryCallback segmentCallback)
{
    if (modelState_ != ModelLoadState::loaded) {
        co_await loadModels(false);
    }
    if (!tokenizer) {
        throw WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    }
    co_await throwIfCancelled();
    auto child = std::make_shared<Progress>();
    progress->setTotalUnitCount(std::max<std::int64_t>(progress->totalUnitCount(), 1));
    progress->addChild(child, 1);
    auto task = setupTranscribeTask(currentTimings, child, audioProcessor, audioEncoder, featureExtractor, segmentSeeker,
        textDecoder, tokenizer);
    task->segmentDiscoveryCallback = std::move(segmentCallback);

    std::shared_ptr<TranscriptionResult> result;
    std::exception_ptr failure;
    try {
        result = co_await task->run(std::move(audioArray), decodeOptions, std::move(callback));
    } catch (...) {
        failure = std::current_exception();
    }
    currentTimings = task->timings;
    if (failure) {
        if (isCancellation(failure)) {
            progress = std::make_shared<Progress>();
        }
        std::rethrow_exception(failure);
    }
    if (decodeOptions && decodeOptions->verbose) {
        result->logTimings();
    }
    if (progress->isFinished()) {
        progress = std::make_shared<Progress>();
    }
    co_return std::vector<std::shared_ptr<TranscriptionResult>>{result};
}

asio::awaitable<std::vector<std::shared_ptr<TranscriptionResult>>> Auralis::transcribe(std::vector<float> audioArray,
    std::optional<DecodingOptions> decodeOptions, TranscriptionCallback callback, SegmentDiscoveryCallback segmentCallback)
{
    const auto window = windowLength();
    std::vector<std::shared_ptr<TranscriptionResult>> results;
    if (static_cast<std::int64_t>(audioArray.size()) > window && decodeOptions
        && decodeOptions->chunkingStrategy == ChunkingStrategy::vad) {
        auto detector = voiceActivityDetector ? voiceActivityDetector : std::make_shared<const EnergyVAD>(16000, 1600, 0, 0.02f);
        VADAudioChunker chunker(16000, detector);
        const auto chunks = co_await chunker.chunkAll(audioArray, window, decodeOptions);
        Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
        progress->setTotalUnitCount(std::max<std::int64_t>(progress->totalUnitCount(), static_cast<std::int64_t>(chunks.size())));
        std::vector<std::vector<float>> arrays;
        std::vector<std::optional<DecodingOptions>> options;
        std::vector<std::int64_t> offsets;
        for (const auto& chunk : chunks) {
            arrays.push_back(chunk.audioSamples);
            auto chunkOptions = *decodeOptions;
            chunkOptions.clipTimestamps.clear();
            options.emplace_back(std::move(chunkOptions));
            offsets.push_back(chunk.seekOffsetIndex);
        }
        const auto outcomes = co_await transcribeWithOptions(std::move(arrays), std::move(options), offsets, callback);
        results = AudioChunking::updateSeekOffsetsForResults(outcomes, chunks);
    } else {
        if (!segmentCallback && segmentDiscoveryCallback) {
            segmentCallback = [this](const std::vector<TranscriptionSegment>& segments) { segmentDiscoveryCallback(segments); };
        }
        results = co_await runTranscribeTask(std::move(audioArray), decodeOptions, std::move(callback), std::move(segmentCallback));
    }
    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    co_return results;
}

asio::awaitable<std::vector<std::shared_ptr<TranscriptionResult>>> Auralis::transcribe(
    fs::path audioPath, std::optional<DecodingOptions> decodeOptions, TranscriptionCallback callback)
{
    if (transcriptionStateCallback) {
        transcriptionStateCallback(TranscriptionState::convertingAudio);
    }
    const auto loadStart = SteadyClock::now();
    auto samples = AudioProcessor::loadAudioAsFloatArray(audioPath, audioInputConfig.channelMode, 0.0, std::nullopt);
    currentTimings.audioLoading = secondsSince(loadStart);
    Logging::debug("Audio loading and convert time: " + std::to_string(currentTimings.audioLoading));
    Logging::logCurrentMemoryUsage("Audio Loading and Convert");
    if (transcriptionStateCallback) {
        transcriptionStateCallback(TranscriptionState::transcribing);
    }
    std::vector<std::shared_ptr<TranscriptionResult>> results;
    std::exception_ptr failure;
    try {
        results = co_await transcribe(std::move(samples), decodeOptions, std::move(callback));
    } catch (...) {
        failure = std::current_exception();
    }
    if (transcriptionStateCallback) {
        transcriptionStateCallback(TranscriptionState::finished);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return results;
}

namespace {

// Transcribes one array for a batch and stores its outcome; never throws.
asio::awaitable<void> transcribeOne(Auralis& engine, std::vector<float> samples, std::optional<DecodingOptions> options,
    TranscriptionCallback callback, ChunkTranscription& outcome)
{
    try {
        outcome = co_await engine.transcribe(std::move(samples), std::move(options), std::move(callback));
    } catch (...) {
        outcome = std::current_exception();
    }
}

} // namespace

asio::awaitable<std::vector<ChunkTranscription>> Auralis::transcribeWithOptions(std::vector<std::vector<float>> audioArrays,
    std::vector<std::optional<DecodingOptions>> decodeOptionsArray, std::optional<std::vector<std::int64_t>> seekOffsets,
    TranscriptionCallback callback)
{
    if (audioArrays.size() != decodeOptionsArray.size()) {
        co_return std::vector<ChunkTranscription>{std::make_exception_ptr(WhisperError(WhisperError::Kind::transcriptionFailed,
            "The number of audio arrays and decoding options must be balanced."))};
    }
    if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
        co_return std::vector<ChunkTranscription>{std::make_exception_ptr(WhisperError(WhisperError::Kind::transcriptionFailed,
            "The number of audio arrays and seek offset indexes must be balanced."))};
    }
    std::int64_t workers = 0;
    for (const auto& options : decodeOptionsArray) {
        workers = std::max<std::int64_t>(workers, options ? options->concurrentWorkerCount : 0);
    }
    const auto count = audioArrays.size();
    const auto batchSize = workers > 0 ? static_cast<std::size_t>(workers) : std::max<std::size_t>(count, 1);
    std::vector<ChunkTranscription> outcomes(count);

    // The members of a batch interleave on one strand, so the shared components are never
    // used from two threads at once.
    const auto strand = asio::make_strand(co_await asio::this_coro::executor);
    for (std::size_t batchStart = 0; batchStart < count; batchStart += batchSize) {
        const auto batchEnd = std::min(count, batchStart + batchSize);
        auto remaining = std::make_shared<std::size_t>(batchEnd - batchStart);
        auto done = std::make_shared<asio::steady_timer>(strand, asio::steady_timer::time_point::max());
        for (auto i = batchStart; i < batchEnd; ++i) {
            asio::co_spawn(strand,
                transcribeOne(*this, std::move(audioArrays[i]), decodeOptionsArray[i], callback, outcomes[i]),
                [remaining, done](std::exception_ptr) {
                    if (--*remaining == 0) {
                        done->cancel();
                    }
                });
        }
        asio::error_code ignored;
        co_await done->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    co_return outcomes;
}

asio::awaitable<std::vector<ChunkTranscription>> Auralis::transcribeWithResults(
    std::vector<std::vector<float>> audioArrays, std::optional<DecodingOptions> decodeOptions, TranscriptionCallback callback)
{
    std::vector<std::optional<DecodingOptions>> options(audioArrays.size(), decodeOptions);
    co_return co_await transcribeWithOptions(std::move(audioArrays), std::move(options), std::nullopt, std::move(callback));
}

asio::awaitable<std::vector<ChunkTranscription>> Auralis::transcribeWithResults(
    std::vector<fs::path> audioPaths, std::optional<DecodingOptions> decodeOptions, TranscriptionCallback callback)
{
    const auto loadStart = SteadyClock::now();
    std::vector<std::vector<float>> arrays;
    std::vector<std::size_t> loadedIndexes;
    std::vector<ChunkTranscription> outcomes(audioPaths.size());
    for (std::size_t i = 0; i < audioPaths.size(); ++i) {
        try {
            arrays.push_back(AudioProcessor::loadAudioAsFloatArray(audioPaths[i], audioInputConfig.channelMode));
            loadedIndexes.push_back(i);
        } catch (...) {
            outcomes[i] = std::current_exception();
        }
    }
    Logging::debug("Total Audio Loading and Converting Time: " + std::to_string(secondsSince(loadStart)));
    const auto transcribed = co_await transcribeWithResults(std::move(arrays), decodeOptions, std::move(callback));
    for (std::size_t k = 0; k < loadedIndexes.size() && k < transcribed.size(); ++k) {
        outcomes[loadedIndexes[k]] = transcribed[k];
    }
    co_return outcomes;
}

asio::awaitable<std::pair<std::string, std::map<std::string, float>>> Auralis::detectLanguage(fs::path audioPath)
{
    std::error_code error;
    if (!fs::exists(audioPath, error)) {
        throw WhisperError(WhisperError::Kind::loadAudioFailed, "Resource path does not exist " + audioPath.string());
    }
    auto samples = AudioProcessor::loadAudioAsFloatArray(audioPath, ChannelMode::sumChannels(), 0.0, 30.0);
    co_return co_await detectLangauge(std::move(samples));
}

asio::awaitable<std::pair<std::string, std::map<std::string, float>>> Auralis::detectLangauge(std::vector<float> audioArray)
{
    if (modelState_ != ModelLoadState::loaded) {
        co_await loadModels(false);
    }
    if (!textDecoder->isModelMultilingual()) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "Language detection not supported for this model");
    }
    if (!tokenizer) {
        throw WhisperError(WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    }
    DecodingOptions options;
    options.verbose = Logging::level() != LogLevel::none;
    std::shared_ptr<DecodingInputsType> inputs =
        textDecoder->prepareDecoderInputs({tokenizer->specialTokens().startOfTranscriptToken});
    const auto window = windowLength();
    const auto padded = audioProcessor->padOrTrim(audioArray, 0, window);
    if (!padded) {
        throw WhisperError(WhisperError::Kind::transcriptionFailed, "Audio samples are nil");
    }
    runtime::MultiArray samples({window}, runtime::MultiArrayDataType::float32);
    std::copy_n(padded->begin(), std::min<std::size_t>(padded->size(), samples.count()), samples.float32Values().begin());
    const auto features = co_await featureExtractor->logMelSpectrogram(samples);
    if (!features || features->empty()) {
        throw WhisperError(WhisperError::Kind::transcriptionFailed, "Mel output is nil");
    }
    const auto encoded = co_await audioEncoder->encodeFeatures(*features);
    if (!encoded || encoded->empty()) {
        throw WhisperError(WhisperError::Kind::transcriptionFailed, "Encoder output is nil");
    }
    GreedyTokenSampler sampler(runtime::Float16::fromFloat(0), tokenizer->specialTokens().endToken, options);
    const auto result = co_await textDecoder->detectLanguage(*encoded, inputs, sampler, options, 0.0f);
    if (result.language.empty()) {
        throw WhisperError(WhisperError::Kind::decodingFailed, "Language detection failed");
    }
    co_return std::pair{result.language, result.languageProbs};
}

} // namespace auralis
