#include "HushnoteCore/WhisperTranscriber.h"

#include "Auralis/Core/Audio/AudioProcessor.h"
#include "Auralis/Core/Audio/EnergyVAD.h"
#include "Auralis/Core/Auralis.h"
#include "Foundation/Clock.h"
#include "Foundation/Error.h"
#include "Foundation/StackTrace.h"
#include "HushnoteCore/WhisperTranscriberError.h"

#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

namespace hushnote {

namespace {

std::string formatMilliseconds(double milliseconds)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", milliseconds);
    return buffer;
}

double millisecondsSince(MonotonicTime start)
{
    return millisecondsBetween(start, std::chrono::steady_clock::now());
}

// The first `count` characters (code points) of UTF-8 text.
std::string firstCharacters(const std::string& text, std::size_t count)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (characters == count) {
                return text.substr(0, i);
            }
            ++characters;
        }
    }
    return text;
}

bool isWhiteSpaceOrLineBreak(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

} // namespace

WhisperTranscriber::WhisperTranscriber(WhisperModelDescriptor descriptor)
    : descriptor_(std::move(descriptor)), strand_(asio::make_strand(worker_.get_executor()))
{
    descriptor_.validate();
}

WhisperTranscriber::~WhisperTranscriber()
{
    worker_.join();
}

auralis::DecodingOptions WhisperTranscriber::decodingOptions()
{
    auralis::DecodingOptionsArguments arguments;
    arguments.verbose = false;
    arguments.task = auralis::DecodingTask::transcribe;
    arguments.language = std::nullopt;
    arguments.temperature = 0;
    arguments.temperatureIncrementOnFallback = 0.2f;
    arguments.temperatureFallbackCount = 5;
    arguments.sampleLength = auralis::Constants::maxTokenContext;
    arguments.topK = 5;
    arguments.usePrefillPrompt = true;
    arguments.skipSpecialTokens = true;
    arguments.withoutTimestamps = false;
    arguments.wordTimestamps = false;
    arguments.windowClipTime = 1.0f;
    arguments.suppressBlank = false;
    arguments.compressionRatioThreshold = 2.4f;
    arguments.logProbThreshold = -1.0f;
    arguments.firstTokenLogProbThreshold = -1.5f;
    arguments.noSpeechThreshold = 0.6f;
    arguments.chunkingStrategy = auralis::ChunkingStrategy::none;
    return auralis::DecodingOptions(arguments);
}

std::map<std::string, std::string> WhisperTranscriber::failureMetadata(const std::exception_ptr& error, double durationMilliseconds)
{
    const auto info = describeError(error);
    return {
        {"errorType", info.typeName},
        {"errorDomain", info.domain},
        {"errorCode", std::to_string(info.code)},
        {"errorDescription", firstCharacters(info.description, 2000)},
        {"stackTrace", currentStackTrace()},
        {"durationMilliseconds", formatMilliseconds(durationMilliseconds)},
    };
}

asio::awaitable<void> WhisperTranscriber::ensureEngine()
{
    if (engine_) {
        co_return;
    }
    auralis::AuralisConfig config;
    config.modelFolder = descriptor_.directory.string();
    config.computeOptions = auralis::ModelComputeOptions(
        auralis::MLComputeUnits::cpuAndGPU, std::nullopt, auralis::MLComputeUnits::cpuAndNeuralEngine);
    config.verbose = false;
    config.logLevel = auralis::LogLevel::none;
    config.prewarm = false;
    config.load = true;
    config.download = false;
    config.useBackgroundDownloadSession = false;
    engine_ = co_await auralis::Auralis::create(std::move(config));
}

asio::awaitable<void> WhisperTranscriber::warmup()
{
    co_await asio::co_spawn(strand_, doWarmup(), asio::use_awaitable);
}

asio::awaitable<void> WhisperTranscriber::doWarmup()
{
    co_await ensureEngine();
}

asio::awaitable<TranscriptResult> WhisperTranscriber::transcribe(std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics)
{
    co_return co_await asio::co_spawn(strand_, doTranscribe(std::move(audioURL), std::move(diagnostics)), asio::use_awaitable);
}

asio::awaitable<TranscriptResult> WhisperTranscriber::doTranscribe(std::filesystem::path audioURL, TranscriptionDiagnostics diagnostics)
{
    using Stage = TranscriptionDiagnosticStage;
    using Status = TranscriptionDiagnosticStatus;
    const auto emit = [&](Stage stage, Status status, std::map<std::string, std::string> metadata) {
        if (diagnostics) {
            diagnostics(TranscriptionDiagnosticEvent{stage, status, std::move(metadata)});
        }
    };

    std::error_code existsError;
    if (!std::filesystem::exists(audioURL, existsError)) {
        throw std::filesystem::filesystem_error(
            "The recording does not exist", audioURL, std::make_error_code(std::errc::no_such_file_or_directory));
    }
    co_await ensureEngine();

    const auto vadStart = std::chrono::steady_clock::now();
    emit(Stage::vad, Status::triggered, {{"detector", "Auralis.EnergyVAD"}});
    std::vector<float> samples;
    std::vector<bool> activity;
    std::exception_ptr failure;
    try {
        samples = auralis::AudioProcessor::loadAudioAsFloatArray(audioURL, auralis::ChannelMode::sumChannels(), 0.0, std::nullopt);
        const auto detector = auralis::EnergyVAD::fromSeconds(auralis::Auralis::sampleRate, 0.1f, 0.0f, 0.02f);
        activity = co_await detector.voiceActivityAsync(samples);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        emit(Stage::vad, Status::failed, failureMetadata(failure, millisecondsSince(vadStart)));
        std::rethrow_exception(failure);
    }
    const auto activeFrames = std::count(activity.begin(), activity.end(), true);
    emit(Stage::vad, Status::succeeded,
        {
            {"detector", "Auralis.EnergyVAD"},
            {"durationMilliseconds", formatMilliseconds(millisecondsSince(vadStart))},
            {"audioDurationMilliseconds", std::to_string(samples.size() / 16)},
            {"frameCount", std::to_string(activity.size())},
            {"activeFrameCount", std::to_string(activeFrames)},
            {"speechDetected", activeFrames > 0 ? "true" : "false"},
        });

    const auto speechStart = std::chrono::steady_clock::now();
    const std::string modelID = descriptor_.modelID;
    emit(Stage::speechModel, Status::triggered, {{"model", modelID}});
    std::vector<std::shared_ptr<auralis::TranscriptionResult>> results;
    try {
        results = co_await engine_->transcribe(std::move(samples), decodingOptions());
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        emit(Stage::speechModel, Status::failed, failureMetadata(failure, millisecondsSince(speechStart)));
        std::rethrow_exception(failure);
    }

    std::string text;
    std::size_t segmentCount = 0;
    bool first = true;
    for (const auto& result : results) {
        for (const auto& segment : result->segments()) {
            text += (first ? "" : " ") + segment.text;
            first = false;
            ++segmentCount;
        }
    }
    const auto begin = std::find_if_not(text.begin(), text.end(), [](char c) { return isWhiteSpaceOrLineBreak(static_cast<unsigned char>(c)); });
    const auto end = std::find_if_not(text.rbegin(), text.rend(), [](char c) { return isWhiteSpaceOrLineBreak(static_cast<unsigned char>(c)); }).base();
    text = begin < end ? std::string(begin, end) : std::string();

    if (text.empty()) {
        const auto error = std::make_exception_ptr(WhisperTranscriberError::emptyTranscript());
        emit(Stage::speechModel, Status::failed, failureMetadata(error, millisecondsSince(speechStart)));
        std::rethrow_exception(error);
    }
    emit(Stage::speechModel, Status::succeeded,
        {
            {"model", modelID},
            {"durationMilliseconds", formatMilliseconds(millisecondsSince(speechStart))},
            {"resultCount", std::to_string(results.size())},
            {"segmentCount", std::to_string(segmentCount)},
        });
    co_return TranscriptResult{std::move(text), modelID};
}

} // namespace hushnote
